#include "flash/job_pool.h"

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
    for (auto const& thread : pool)
        thread->wait();
    return QVector<Event>(last.begin(), last.end());
}

} // namespace Flash
