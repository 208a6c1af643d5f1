#pragma once
// The decoders write diagnostics for bad input; formatting them is part of what is fuzzed,
// printing them would only slow the run down.
#include <QString>
#include <QtGlobal>

inline void kelvora_fuzz_quiet_messages() {
    qInstallMessageHandler([](QtMsgType, QMessageLogContext const&, QString const& text) {
        volatile int length = text.size();
        (void)length;
    });
}
