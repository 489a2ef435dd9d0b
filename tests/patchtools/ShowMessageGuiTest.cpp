// showMessage when the application object is a QApplication: a modal box, nothing on stdout.
#include "BinaryPatchCleaner.h"
#include "TestSupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

using TQ::EXTRACTORS::CPP::COMMON::BinaryPatchCleaner;

TEST(ShowMessageGuiTest, MessageGoesToAModalBox)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "gui_test";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QStringList shown;
    // The box runs its own event loop; read and close it from there.
    std::function<void()> closeBox = [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box) {
            shown << box->text();
            box->done(0);
        } else {
            QTimer::singleShot(10, closeBox);
        }
    };
    TestSupport::CoutCapture out;
    QTimer::singleShot(0, closeBox);
    BinaryPatchCleaner::showMessage(QStringLiteral("first message"));
    QTimer::singleShot(0, closeBox);
    BinaryPatchCleaner::showMessage(std::string("second message"));
    EXPECT_EQ(shown, (QStringList{"first message", "second message"}));
    EXPECT_TRUE(out.text().isEmpty());
}
