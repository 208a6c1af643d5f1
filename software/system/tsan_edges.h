#pragma once

#include <QDeadlineTimer>
#include <QMutex>
#include <QObject>
#include <QWaitCondition>

// ThreadSanitizer sees neither Qt's mutexes nor its event queue: Qt's libraries are not
// instrumented. In a build with -fsanitize=thread these functions mark the same orderings by
// hand, so that it reports only real races; in every other build they do nothing.
namespace tsan_edges {

// What this thread did before release(p) happens before what another thread does after a
// later acquire(p).
void release(void const* p);
void acquire(void const* p);

// Stands for the GUI thread's queue of posted calls.
void const* queued_calls();

// Makes the GUI thread acquire queued_calls() before it handles any queued call.
void watch_queued_calls();

// Orders every queued call that a signal of sender makes to an object of the GUI thread
// after what the emitting thread did before the emission. Covers every signal that sender's
// meta-object declares, its base classes' included, so a new signal needs no edit here. Call it
// in sender's constructor, before anything else connects to its signals, so that the mark
// comes first.
void order_queued_calls(QObject* sender);

// QMutexLocker that also tells ThreadSanitizer about the hold: what one thread did while it
// held the mutex happens before what the next holder does.
class MutexLocker {
public:
    explicit MutexLocker(QMutex& m) : locker(&m), mutex(m) { acquire(&mutex); }
    ~MutexLocker() {
        release(&mutex); // before the member locker unlocks
    }
    MutexLocker(MutexLocker const&) = delete;
    MutexLocker& operator=(MutexLocker const&) = delete;

    // QWaitCondition::wait on the held mutex, which it gives up meanwhile: false when the
    // deadline passed first.
    bool wait(QWaitCondition& condition, QDeadlineTimer deadline) {
        release(&mutex);
        bool const woken = condition.wait(&mutex, deadline);
        acquire(&mutex);
        return woken;
    }

private:
    QMutexLocker locker;
    QMutex& mutex;
};

// The orderings of a worker thread, made as a member of the worker: its signals' queued calls
// (order_queued_calls, from the member's initialisation, when the worker's meta-object is
// already its own), and its end: what run() did before ran() happens before what follows
// joined(), called after QThread::wait().
class WorkerMarks {
public:
    explicit WorkerMarks(QObject* worker) : worker(worker) { order_queued_calls(worker); }
    void ran() const { release(worker); }
    void joined() const { acquire(worker); }

private:
    QObject const* worker;
};

} // namespace tsan_edges
