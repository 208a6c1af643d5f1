#pragma once

#include "settings/settings.h"

#include <QMainWindow>
#include <QPointer>

class QLabel;
class InstallButton;
class ProgressBar;

// The program's one window: a fixed-size panel laid out by absolute coordinates designed
// for 665 x 517 pixels and multiplied by `scale`.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(Settings::Settings const* settings, QWidget* parent);
    ~MainWindow() override;

    // Sizes and places the window, and the install button and progress bar when they exist.
    void setupGeometry();

    // For tests: a factor > 0 replaces the screen's factor in windows built afterwards.
    static void override_scale(double factor);

    Settings::Settings const* settings;
    QWidget* central_widget = nullptr;
    QLabel* status_label = nullptr;
    bool download_mode = false;
    bool downloads_ended = false; // set by endDownloads()
    double scale = 1.0;
    InstallButton* install_button = nullptr;
    ProgressBar* progress_bar = nullptr;

signals:
    void finished();
    void downloadModeChanged();

public slots:
    void enableDownload();
    void disableDownload();
    void toggleDownload();
    void updateDownloadMode();
    // For good, once nothing could carry out an upgrade: the button stays disabled and out
    // of the focus chain whatever the download mode.
    void endDownloads();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Follows the progress bar: while it covers the install button, the button can be neither
    // clicked nor focused, whatever the download mode.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Neither covered by the bar nor ended for good.
    bool button_usable() const;
    // Gives the install button the keyboard focus when it can be used.
    void offer_button();
};

// Shared by all labels; 0 until the first label with a size needs it.
extern double font_scale;

// Stops the program with a fatal message when the settings have no "status_noDev" text.
MainWindow* MainWindow_factory(Settings::Settings const* settings, QWidget* parent,
                               bool use_simulator);
void add_labels(Settings::Settings const* settings, MainWindow* window, bool use_simulator);

// Null until start-up builds the window, and again once it is gone.
extern QPointer<MainWindow> mainWindow;
