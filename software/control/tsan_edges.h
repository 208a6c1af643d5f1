#pragma once

#include <QObject>

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

// Orders every queued call that these signals of sender make to an object of the GUI thread
// after what the emitting thread did before the emission. Call it in sender's constructor,
// before anything else connects to those signals, so that the mark comes first.
template <typename Sender, typename... Signals>
void order_queued_calls([[maybe_unused]] Sender* sender, [[maybe_unused]] Signals... signals_) {
#if defined(__SANITIZE_THREAD__)
    watch_queued_calls();
    (QObject::connect(
         sender, signals_, sender, [] { release(queued_calls()); }, Qt::DirectConnection),
     ...);
#endif
}

} // namespace tsan_edges
