#include "flash/job_pool.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

namespace Flash {

QVector<Event> run_side_by_side(QVector<ListedUnit> const& units, int jobs,
                                std::function<Event(ListedUnit const&)> const& job) {
    std::vector<Event> last(size_t(units.size()));
    std::atomic<int> next{0};
    int const threads = jobs > 0 ? qMin(jobs, units.size()) : units.size();
    std::vector<std::unique_ptr<QThread>> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back(QThread::create([&] {
            for (int i = next++; i < units.size(); i = next++)
                last[size_t(i)] = job(units[i]);
        }));
        pool.back()->start();
    }
    // Meanwhile this thread serves its events: the sleep lock's reply comes as one.
    for (auto const& thread : pool)
        while (!thread->wait(50))
            QCoreApplication::processEvents();
    return QVector<Event>(last.begin(), last.end());
}

} // namespace Flash
