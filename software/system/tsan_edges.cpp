#include "system/tsan_edges.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaMethod>

namespace tsan_edges {

// Receives, by direct connection in the emitting thread, every signal of the object it
// watches and marks the emission before Qt posts any queued call for it. Only a
// ThreadSanitizer build creates one.
class EmissionMark : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

public slots:
    void mark() { release(queued_calls()); }
};

void order_queued_calls([[maybe_unused]] QObject* sender) {
#if defined(__SANITIZE_THREAD__)
    watch_queued_calls();
    auto* const mark = new EmissionMark(sender);
    QMetaMethod const slot = mark->metaObject()->method(mark->metaObject()->indexOfSlot("mark()"));
    QMetaObject const* const meta = sender->metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        QMetaMethod const signal = meta->method(i);
        if (signal.methodType() == QMetaMethod::Signal)
            QObject::connect(sender, signal, mark, slot, Qt::DirectConnection);
    }
#endif
}

} // namespace tsan_edges

#if defined(__SANITIZE_THREAD__)

extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

// Qt's own memory traffic (its post-event list, its event objects, its wait conditions) goes
// through the interceptors without any instrumented code around it; with this flag those
// calls from uninstrumented libraries are not judged, while every access of our own code
// still is. TSAN_OPTIONS from the environment are applied on top.
extern "C" char const* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}

namespace tsan_edges {

namespace {

char queue_token;

// Application-wide: sees each event for an object of the GUI thread before it is handled.
// Even reading the event's type would come too early, so it acquires for every event.
class DeliveryMark : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent*) override {
        acquire(&queue_token);
        return false;
    }
};

} // namespace

void release(void const* p) {
    __tsan_release(const_cast<void*>(p));
}

void acquire(void const* p) {
    __tsan_acquire(const_cast<void*>(p));
}

void const* queued_calls() {
    return &queue_token;
}

void watch_queued_calls() {
    static bool installed = false;
    QCoreApplication* app = QCoreApplication::instance();
    if (installed || !app)
        return;
    installed = true;
    app->installEventFilter(new DeliveryMark(app));
}

} // namespace tsan_edges

#else

namespace tsan_edges {

void release(void const*) {}
void acquire(void const*) {}
void const* queued_calls() {
    return nullptr;
}
void watch_queued_calls() {}

} // namespace tsan_edges

#endif

#include "tsan_edges.moc"
