// The yardstick for the tool's start-up: a bare Qt window that runs `dfu-util -V` once
// before it shows itself, as the tool does.
//   min_window <dfu-util>
#include <QApplication>
#include <QProcess>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QProcess dfu_util;
    dfu_util.start(app.arguments().value(1, "dfu-util"), {"-V"});
    dfu_util.waitForFinished(30000);
    QWidget window;
    window.setWindowTitle("Minimal window");
    window.resize(640, 480);
    window.show();
    return app.exec();
}
