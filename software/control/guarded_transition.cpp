#include "control/guarded_transition.h"

GuardedTransition::GuardedTransition(QObject const* sender, char const* signal, Guard guard)
    : QSignalTransition(sender, signal), guard(guard) {}

GuardedTransition::~GuardedTransition() = default;

bool GuardedTransition::eventTest(QEvent* event) {
    if (!QSignalTransition::eventTest(event))
        return false;
    return guard && guard();
}
