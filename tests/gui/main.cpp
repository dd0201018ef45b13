#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>

namespace {

// Every test closes what it opened: no window may stay on screen after it.
class NoWindowLeftBehind : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        QApplication::processEvents();
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            EXPECT_FALSE(widget->isVisible())
                << "window left open: " << widget->objectName().toStdString() << " \""
                << widget->windowTitle().toStdString() << "\"";
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    // The tests run without a display, also when listed by the build.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new NoWindowLeftBehind);
    return RUN_ALL_TESTS();
}
