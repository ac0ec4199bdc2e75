// The help window Tfcmdline on Qt: the usage text in a borderless read-only box that reads as
// part of the window, and a "Close" button; Esc, the button and the title-bar close all end it
// with the cancel result.
#include "cmdline_window.h"

#include "form_qt.h"

#include <QDialog>
#include <QEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>

namespace fcmdline {

namespace {

// Fixed pitch: the usage lines are aligned in columns.
QFont UsageFont() {
    QFont font;
    font.setFamilies({"Courier New", "Liberation Mono", "DejaVu Sans Mono"});
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(13);
    return font;
}

// The window sees Esc before the control that has the focus.
class Tfcmdline : public QDialog {
  public:
    explicit Tfcmdline(QWidget* owner)
        : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                             Qt::MSWindowsFixedSizeDialogHint) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            done(kModalCancel);
            return true;
        }
        return QDialog::eventFilter(watched, event);
    }

    void reject() override { done(kModalCancel); }
};

} // namespace

int ShowCmdlineWindow(void* mainWindow, const std::string& mainCaption) {
    auto* owner = static_cast<QWidget*>(mainWindow);
    Tfcmdline form(owner);
    form.setObjectName("fcmdline");
    form.setWindowTitle(prdialogs::FromUtf8(HelpCaption(mainCaption)));
    form.setFixedSize(560, 320);
    form.setFont(prdialogs::FormFont());

    auto* mcmdline = new QPlainTextEdit(&form);
    mcmdline->setObjectName("mcmdline");
    mcmdline->setGeometry(8, 16, 545, 265);
    mcmdline->setReadOnly(true);
    mcmdline->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    mcmdline->setFrameShape(QFrame::NoFrame);
    mcmdline->setLineWrapMode(QPlainTextEdit::NoWrap);
    mcmdline->setFont(UsageFont());
    QPalette palette = mcmdline->palette();
    palette.setColor(QPalette::Base, form.palette().color(QPalette::Window));
    palette.setColor(QPalette::Text, form.palette().color(QPalette::WindowText));
    mcmdline->setPalette(palette);
    mcmdline->setPlainText(prdialogs::BoxText(UsageText()));
    mcmdline->installEventFilter(&form);

    auto* bclose = new QPushButton("Close", &form);
    bclose->setObjectName("bclose");
    bclose->setGeometry(480, 288, 75, 25);
    bclose->setDefault(true);
    bclose->installEventFilter(&form);
    QObject::connect(bclose, &QPushButton::clicked, &form, [&form] { form.done(kModalCancel); });
    QWidget::setTabOrder(mcmdline, bclose);

    prdialogs::CentreOver(&form, owner);
    bclose->setFocus();
    return form.exec();
}

} // namespace fcmdline
