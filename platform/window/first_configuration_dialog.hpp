#pragma once

#include <QDialog>

#include <optional>

#include "ui/operator_input.hpp"
#include "ui/operator_view.hpp"

class QEventLoop;
class QLineEdit;
class QRadioButton;

namespace quillon {

// Window 1, "Quillon First Configuration": asks for the serial port name, the
// TCP port and the kind of bus interface module. Client area 320 x 190,
// centred on the screen, with a close button.
class FirstConfigurationDialog : public QDialog {
  public:
    FirstConfigurationDialog();

    // Shows the dialog when it is hidden and runs Qt's events until OK, Quit or
    // the close button is used. After OK the dialog stays open with its fields
    // as they are, for another round when a test of the settings failed.
    FirstConfigurationAnswer run();

  protected:
    void closeEvent(QCloseEvent* event) override;
    // Escape does not end the dialog; only Quit and the close button do.
    void reject() override {}

  private:
    void centre_on_screen();
    void finish(FirstConfigurationAnswer::Action action);

    QLineEdit* serial_field_ = nullptr;
    QLineEdit* port_field_ = nullptr;
    QRadioButton* rs_option_ = nullptr;
    QEventLoop* loop_ = nullptr;
    std::optional<FirstConfigurationAnswer::Action> action_;
};

}  // namespace quillon
