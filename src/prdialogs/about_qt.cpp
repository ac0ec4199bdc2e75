// The about box of the Linux window: icon, heading, version, notice, copyright year, and two links
// opened with the desktop's default handler.
#include "about.h"
#include "boxes.h"
#include "form_qt.h"
#include "version.h"

#include <QApplication>
#include <QDate>
#include <QDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

namespace prdialogs {

namespace {

// The year of the program file's last write in local time; today's year when that fails.
int ProgramFileYear(const QString& path) {
    QDateTime written = QFileInfo(path).lastModified();
    if (written.isValid())
        return written.date().year();
    return QDate::currentDate().year();
}

void webclick(QLabel& label) {
    OpenWithDesktop(ToUtf8(label.text()));
}

void emailclick(QLabel& label) {
    OpenWithDesktop(MailtoAddress(ToUtf8(label.text())));
}

QIcon ApplicationIcon(const QWidget& form) {
    QIcon icon = QApplication::windowIcon();
    return icon.isNull() ? form.style()->standardIcon(QStyle::SP_DesktopIcon) : icon;
}

} // namespace

void ShowAboutBox() {
    QString program = QApplication::applicationFilePath();
    AboutTexts texts =
        ComposeAboutTexts(Texts(), ApplicationTitle, prutils::FileVersionString(ToUtf8(program)),
                          ProgramFileYear(program), AboutWord);
    auto* owner = static_cast<QWidget*>(ApplicationWindow());
    QDialog form(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                            Qt::MSWindowsFixedSizeDialogHint);
    form.setObjectName("tfabout");
    form.setWindowTitle(FromUtf8(TextUtf8(texts.caption.c_str())));
    form.setFixedSize(264, 208);
    form.setFont(FormFont());

    QFont normal = FormFont();
    AddLabel(&form, FromUtf8(texts.heading), 64, 16, FormPointFont(14, true));
    AddLabel(&form, FromUtf8(TextUtf8(texts.version.c_str())), 64, 45, FormPointFont(10, true));
    AddLabel(&form, FromUtf8(TextUtf8(texts.notice.c_str())), 64, 72, normal);
    AddLabel(&form, FromUtf8(TextUtf8(texts.copyright.c_str())), 64, 96, normal);
    AddLabel(&form, FromUtf8(TextUtf8(texts.webCaption.c_str())), 64, 116, normal);
    new LinkLabel(&form, FromUtf8(texts.webLink), 104, 116, normal, webclick);
    AddLabel(&form, FromUtf8(TextUtf8(texts.emailCaption.c_str())), 64, 136, normal);
    new LinkLabel(&form, FromUtf8(texts.emailLink), 104, 136, normal, emailclick);
    auto* ok = new QPushButton(FromUtf8(TextUtf8(texts.ok.c_str())), &form);
    ok->setObjectName("ok");
    ok->setGeometry(96, 168, 75, 25);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &form, &QDialog::accept);
    auto* icon = new QLabel(&form);
    icon->setObjectName("icon");
    icon->setPixmap(ApplicationIcon(form).pixmap(32, 32));
    icon->setGeometry(16, 16, 32, 32);

    // A substitute typeface can be wider than the one the layout was made for: the box grows
    // rather than cut off the end of a link.
    int right = 0;
    for (const QLabel* label : form.findChildren<QLabel*>())
        right = std::max(right, label->geometry().right() + 1);
    if (right + 16 > form.width())
        form.setFixedSize(right + 16, form.height());

    CentreOver(&form, owner);
    ok->setFocus();
    form.exec();
}

} // namespace prdialogs
