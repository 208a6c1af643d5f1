#pragma once

#include <QSignalTransition>

// A signal transition that is taken only when its guard agrees. The guard is asked only
// for an event of the transition's own signal.
class GuardedTransition : public QSignalTransition {
public:
    using Guard = bool (*)();

    GuardedTransition(QObject const* sender, char const* signal, Guard guard);
    ~GuardedTransition() override;

protected:
    bool eventTest(QEvent* event) override;

private:
    Guard guard;
};
