#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"

namespace quillon::testing {

// Runs passes of the gateway until `done` holds, at most 5 s.
inline bool passes_until(Gateway& gw, const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000)
        run_pass(gw);
    return done();
}

// The control of that number inside a window.
template <typename T = QWidget>
T* control_of(const QWidget* window, int number) {
    return window->findChild<T*>(QStringLiteral("control_%1").arg(number));
}
template <typename T = QWidget>
T* control_of(const QWidget* window, Control c) {
    return control_of<T>(window, number_of(c));
}
template <typename T = QWidget>
T* control_of(const QWidget* window, DialogControl c) {
    return control_of<T>(window, number_of(c));
}

inline std::string text_of(const QString& text) {
    return text.toUtf8().toStdString();
}

// A click where a person would click: inside the control, on the check mark
// of a check box.
inline void click(QWidget* widget) {
    ASSERT_NE(widget, nullptr);
    const bool is_box = widget->inherits("QCheckBox") || widget->inherits("QRadioButton");
    const QPoint at = is_box ? QPoint(7, widget->height() / 2) : widget->rect().center();
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, at);
}

// A click on a row of a list view, as a person selects it.
inline void click_row(QTreeWidget* list, int row) {
    ASSERT_NE(list->topLevelItem(row), nullptr);
    const QRect place = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, place.center());
}

// A key pressed where a person's key would go: to the window's focused control.
inline void press(QWidget* window, Qt::Key key) {
    ASSERT_NE(window, nullptr);
    QWidget* focused = window->focusWidget();
    QTest::keyClick(focused != nullptr ? focused : window, key);
}

// Runs `act` once `ready` holds, from inside whatever event loop is running
// then (a modal box's, a dialog's). Gives up after 5 s with a failure and
// closes the modal widget, so that a missing window fails the test instead of
// hanging it.
inline void when(std::function<bool()> ready, std::function<void()> act) {
    auto* timer = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, ready, act] {
        const bool now = ready();
        if (!now && clock->elapsed() < 5000) return;
        timer->stop();
        timer->deleteLater();
        delete clock;
        if (now) {
            act();
        } else {
            ADD_FAILURE() << "the expected window did not open";
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        }
    });
    timer->start(5);
}

inline QMessageBox* open_message_box() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

// Acts on the next message box once it is open.
inline void when_message_box_opens(std::function<void(QMessageBox*)> act) {
    when([] { return open_message_box() != nullptr; }, [act] { act(open_message_box()); });
}

// The texts of one column of a list view, top row first.
inline std::vector<std::string> column_texts(const QTreeWidget* list, int column) {
    std::vector<std::string> texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts.push_back(text_of(list->topLevelItem(i)->text(column)));
    return texts;
}

}  // namespace quillon::testing
