#pragma once
// The tool's executable as a child, headless, with temporary and runtime folders of its own
// that outlive it.
#include <QProcess>
#include <QTemporaryDir>

struct ToolFolders {
    QTemporaryDir tmp;
    QTemporaryDir runtime; // Qt's own runtime folder, kept apart from the temporary directory
};

class ToolProcess : public ToolFolders, public QProcess {
public:
    // Starts `program` (by default the executable) with `env` and the folders; true once it
    // runs.
    bool start_in(QProcessEnvironment env, QStringList const& arguments,
                  QString const& program = KELVORA_BINARY_DIR "/kelvora-upgrade") {
        env.insert("TMPDIR", tmp.path());
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("KELVORA_SIM_STATE_DIR");
        setProcessEnvironment(env);
        start(program, arguments);
        return waitForStarted();
    }
};
