#include "gui/main_window.h"

#include "device/product_table.h"
#include "files/files.h"
#include "files/support_misc.h"
#include "gui/circle.h"
#include "gui/install_button.h"
#include "gui/progress_bar.h"

#include <QDebug>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>

#include <algorithm>
#include <cmath>

QPointer<MainWindow> mainWindow;
double font_scale = 0;

namespace {

double scale_override = 0;

constexpr int window_width = 665;
constexpr int window_height = 517;
constexpr int window_offset_top = 50;
constexpr int button_x = 207;
constexpr int button_y = 417;
constexpr int button_width = 250;
constexpr int button_height = 40;
constexpr int label_4_width = 228;

char const* const window_style =
    "QMainWindow { border-image:url(\"://resources/%1\") 0 0 0 0 stretch stretch; }";
char const* const white_label_style =
    "QLabel { background-color : rgba(0,0,0,0%); color : rgba(175,175,175,100%); }";
char const* const black_label_style =
    "QLabel { background-color : rgba(0,0,0,0%); color : black; }";

// Nearest integer, halves away from zero.
int rounded(double value) {
    return int(std::lround(value));
}

} // namespace

MainWindow::MainWindow(Settings::Settings const* settings, QWidget* parent)
    : QMainWindow(parent), settings(settings) {
    central_widget = new QWidget(this);
    status_label = nullptr;
    install_button = nullptr;
    progress_bar = nullptr;
    // The picture is stretched over the window: on a screen with more pixels per point, the
    // larger picture keeps it sharp.
    bool const dense = QGuiApplication::primaryScreen()->devicePixelRatio() > 1.0;
    setStyleSheet(QString(window_style).arg(dense ? "background@2x.jpg" : "background.jpg"));
    if (scale_override > 0)
        scale = scale_override;
    else if (support_misc::compiled_for_platform(support_misc::Platform::macOS))
        scale = 1.0;
    else
        scale = QGuiApplication::primaryScreen()->logicalDotsPerInchX() / 96.0;
    setCentralWidget(central_widget);
    setupGeometry();
    download_mode = false;
    emit downloadModeChanged();
    connect(this, &MainWindow::downloadModeChanged, this, &MainWindow::updateDownloadMode);
}

MainWindow::~MainWindow() = default;

void MainWindow::override_scale(double factor) {
    scale_override = factor;
}

void MainWindow::setupGeometry() {
    QRect const screen = QGuiApplication::primaryScreen()->geometry();
    setFixedSize(int(window_width * scale), int(window_height * scale));
    setGeometry(QStyle::alignedRect(
        Qt::LeftToRight, Qt::AlignHCenter | Qt::AlignTop,
        QSize(rounded(window_width * scale), rounded(window_height * scale)), screen));
    // On a small or strongly scaled screen (1920 x 1080 at twice the pixels is 960 x 540) the
    // offset would push the bottom, with the status line, off the usable area: the window
    // moves up as far as needed, when it fits at all. One move only: the window may be
    // shown already, and a second move at once can be lost on X11.
    QRect const available = QGuiApplication::primaryScreen()->availableGeometry();
    QPoint target = pos() + QPoint(0, rounded(window_offset_top * scale));
    int const frame_height = frameGeometry().height();
    int const overhang = target.y() + frame_height - 1 - available.bottom();
    if (frame_height <= available.height() && overhang > 0)
        target.setY(std::max(available.top(), target.y() - overhang));
    move(target);

    QRect const button(int(button_x * scale), int(button_y * scale), int(button_width * scale),
                       int(button_height * scale));
    if (install_button)
        install_button->setGeometry(button);
    if (progress_bar) {
        progress_bar->setGeometry(button);
        progress_bar->hide();
    }
}

void MainWindow::enableDownload() {
    download_mode = true;
    emit downloadModeChanged();
}

void MainWindow::disableDownload() {
    download_mode = false;
    emit downloadModeChanged();
}

void MainWindow::toggleDownload() {
    download_mode = !download_mode;
    emit downloadModeChanged();
}

void MainWindow::endDownloads() {
    downloads_ended = true;
    if (install_button)
        install_button->setFocusPolicy(Qt::NoFocus);
    disableDownload();
}

void MainWindow::updateDownloadMode() {
    if (install_button) {
        // While the bar covers the button, or after the end of downloads, it stays disabled
        // whatever the mode; the trace says what the button is.
        bool const enabled = download_mode && button_usable();
        qInfo() << "MainWindow downloadMode: setEnabled" << enabled;
        install_button->setEnabled(enabled);
        offer_button();
    }
    qInfo() << "Download " << (download_mode ? "enabled" : "disabled");
}

bool MainWindow::button_usable() const {
    return !downloads_ended && !(progress_bar && !progress_bar->isHidden());
}

void MainWindow::offer_button() {
    // Keyboard users find the button where they are when it is offered: Enter or Space
    // starts the upgrade.
    if (install_button->isEnabled() && install_button->focusPolicy() != Qt::NoFocus)
        install_button->setFocus(Qt::OtherFocusReason);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    bool const shown_or_hidden =
        event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent;
    if (watched == progress_bar && install_button && shown_or_hidden) {
        bool const usable = button_usable();
        install_button->setFocusPolicy(usable ? Qt::StrongFocus : Qt::NoFocus);
        install_button->setEnabled(download_mode && usable);
        offer_button();
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_A:
        toggleDownload();
        break;
    case Qt::Key_Escape:
    case Qt::Key_Q:
        emit finished();
        break;
    default:
        break;
    }
}

MainWindow* MainWindow_factory(Settings::Settings const* settings, QWidget* parent,
                               bool use_simulator) {
    static QString const status_id("status_noDev");
    if (settings->gui.text(status_id).isEmpty()) {
        // The fatal message aborts: nothing would remove the working directory at exit.
        Files::external_dir.remove();
        qFatal("No message with id '%s' found, aborting", qPrintable(status_id));
    }

    auto* window = new MainWindow(settings, parent);
    window->install_button = new InstallButton(window);
    add_labels(settings, window, use_simulator);
    window->updateDownloadMode();
    window->progress_bar = new ProgressBar(window);
    window->progress_bar->installEventFilter(window);
    window->setupGeometry();

    std::vector<Settings::CircleData> circles = settings->gui.circles;
    for (auto& circle : circles) {
        circle.center = QPoint(rounded(circle.center.x() * window->scale),
                               rounded(circle.center.y() * window->scale));
        circle.radius = int(circle.radius * window->scale);
        circle.pen_width = int(circle.pen_width * window->scale);
    }
    add_circles(circles, window);
    return window;
}

void add_labels(Settings::Settings const* settings, MainWindow* window, bool use_simulator) {
    window->show();
    for (auto const& data : settings->gui.labels) {
        if (!data.create) {
            if (data.id == "8b2" && window->install_button) {
                window->install_button->setText(data.text);
                continue;
            }
            if (!(data.id == "sim_mode" && use_simulator))
                continue;
        }
        if (data.text.isEmpty())
            continue;

        auto* label = new QLabel(window);
        label->setObjectName("label_" + data.id);
        // The format follows the settings' own text, never the values filled into it.
        bool const rich = Qt::mightBeRichText(data.text);
        label->setTextFormat(rich ? Qt::RichText : Qt::PlainText);
        auto const value = [rich](QString const& text) {
            return rich ? text.toHtmlEscaped() : text;
        };
        label->setText(data.text);
        if (data.id == "2") {
            Device::ProductInfo product;
            product.type = settings->desired_FW_type;
            label->setText(data.text.arg(value(product.product_name_full())));
        }
        if (data.id == "4")
            label->setText(data.text.arg(value(settings->desired_FW_revision)));

        if (data.id == "2" || data.id == "3")
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        else if (data.id == "4" || data.id == "4_hdr")
            label->setAlignment(Qt::AlignRight | Qt::AlignTop);

        if (data.id == "status_noDev")
            window->status_label = label;

        if (!data.font.isEmpty()) {
            QFont font;
            font.setFamily(data.font);
            label->setFont(font);
        }
        if (data.size > 0) {
            if (font_scale == 0) {
                font_scale = QGuiApplication::primaryScreen()->physicalDotsPerInch() / 110.0;
                if (support_misc::compiled_for_platform(support_misc::Platform::windows))
                    font_scale *= 1.3;
            }
            QFont font = label->font();
            // A tiny size on a low-resolution screen must not give an invalid pixel size.
            font.setPixelSize(std::max(1, int(data.size * font_scale)));
            label->setFont(font);
        }

        QFontMetrics const metrics(label->font());
        int width = metrics.horizontalAdvance(label->text());
        int const lines = label->text().count('\n') + 1;
        int const height = metrics.height() * lines;
        if (data.id == "4" || data.id == "4_hdr") {
            width = int(label_4_width * window->scale);
            qInfo() << "Overriding width to " << width << "for text:" << data.text;
        }
        label->resize(width, height);
        label->setStyleSheet(data.white ? white_label_style : black_label_style);
        if (data.position.x() > 0 && data.position.y() > 0)
            label->move(rounded(data.position.x() * window->scale),
                        rounded(data.position.y() * window->scale));
        label->show();
    }
}
