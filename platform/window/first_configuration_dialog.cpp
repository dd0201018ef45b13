#include "platform/window/first_configuration_dialog.hpp"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>

#include "platform/window/fonts.hpp"

namespace quillon {
namespace {

constexpr int client_width = 320;
constexpr int client_height = 190;

void place(QWidget* widget, DialogControl control, int x, int y, int width, int height) {
    widget->setObjectName(QStringLiteral("control_%1").arg(number_of(control)));
    widget->setGeometry(x, y, width, height);
}

std::string to_std(const QString& text) {
    return text.toUtf8().toStdString();
}

}  // namespace

FirstConfigurationDialog::FirstConfigurationDialog()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("window_1"));
    setWindowTitle(QStringLiteral("Quillon First Configuration"));
    setFixedSize(client_width, client_height);
    setFont(control_font());

    auto* intro = new QLabel(QStringLiteral("It's the initial settings !\nPlease give information "
                                            "about Serial port and Ethernet port :"),
                             this);
    intro->setWordWrap(true);  // a wide font may need a third line
    place(intro, DialogControl::intro, 10, 10, 300, 40);
    place(new QLabel(QStringLiteral("Enter the serial port name (eg. COM4)"), this),
          DialogControl::serial_label, 10, 60, 220, 20);
    place(new QLabel(QStringLiteral("Enter the Ethernet port number(>1024)"), this),
          DialogControl::port_label, 10, 90, 220, 20);

    serial_field_ = new QLineEdit(QStringLiteral("COM4"), this);
    place(serial_field_, DialogControl::serial_port, 240, 60, 60, 20);
    port_field_ = new QLineEdit(QStringLiteral("8080"), this);
    port_field_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port_field_));
    place(port_field_, DialogControl::port, 240, 90, 60, 20);

    auto* usb_option = new QRadioButton(QStringLiteral("USB module"), this);
    place(usb_option, DialogControl::usb_module, 100, 120, 100, 20);
    rs_option_ = new QRadioButton(QStringLiteral("RS-232 module"), this);
    place(rs_option_, DialogControl::rs_module, 200, 120, 100, 20);
    auto* group = new QButtonGroup(this);
    group->addButton(usb_option);
    group->addButton(rs_option_);
    usb_option->setChecked(true);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    place(ok, DialogControl::ok, 230, 150, 80, 20);
    ok->setDefault(true);
    auto* quit = new QPushButton(QStringLiteral("Quit"), this);
    place(quit, DialogControl::quit, 150, 150, 70, 20);
    quit->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this,
            [this] { finish(FirstConfigurationAnswer::Action::ok); });
    connect(quit, &QPushButton::clicked, this,
            [this] { finish(FirstConfigurationAnswer::Action::quit); });
}

void FirstConfigurationDialog::centre_on_screen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    // The frame is known once the dialog is shown; the whole window is centred.
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

FirstConfigurationAnswer FirstConfigurationDialog::run() {
    if (!isVisible()) {
        show();
        centre_on_screen();
    }
    raise();
    activateWindow();
    if (!action_) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }

    FirstConfigurationAnswer answer;
    answer.action = action_.value_or(FirstConfigurationAnswer::Action::quit);
    action_.reset();
    answer.serial_port_name = to_std(serial_field_->text());
    answer.port_text = to_std(port_field_->text());
    answer.rs_module = rs_option_->isChecked();
    return answer;
}

void FirstConfigurationDialog::finish(FirstConfigurationAnswer::Action action) {
    // A use outside run() (none is expected: nothing else runs Qt's events
    // while the dialog waits for the tests) is kept for the next run.
    if (!action_) action_ = action;
    if (loop_ != nullptr) loop_->quit();
}

void FirstConfigurationDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    finish(FirstConfigurationAnswer::Action::quit);
}

}  // namespace quillon
