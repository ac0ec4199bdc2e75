// Helpers of the builder's Qt windows.
#include "form_qt.h"

#include "cmdline.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QUrl>

namespace prdialogs {

namespace {

const QStringList kFormFamilies = {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans",
                                   "DejaVu Sans"};

QFont FormFamilies() {
    QFont font;
    font.setFamilies(kFormFamilies);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

} // namespace

QFont FormFont(int pixelHeight, bool bold) {
    QFont font = FormFamilies();
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

QFont FormPointFont(int points, bool bold) {
    QFont font = FormFamilies();
    font.setPointSize(points);
    font.setBold(bold);
    return font;
}

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text) {
    return text.toUtf8().toStdString();
}

QString BoxText(const std::string& text) {
    return FromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QLabel* AddLabel(QWidget* parent, const QString& text, int left, int top, const QFont& font) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->move(left, top);
    label->adjustSize();
    return label;
}

LinkLabel::LinkLabel(QWidget* parent, const QString& text, int left, int top, QFont font,
                     std::function<void(LinkLabel&)> onClick)
    : QLabel(text, parent), onClick_(std::move(onClick)) {
    setTextFormat(Qt::PlainText);
    font.setUnderline(true);
    setFont(font);
    move(left, top);
    adjustSize();
    setCursor(Qt::PointingHandCursor);
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(palette);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        onClick_(*this);
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

bool OpenWithDesktop(const std::string& text) {
    if (prutils::TrimControlAndBlank(text).empty())
        return false;
    return QDesktopServices::openUrl(QUrl::fromUserInput(FromUtf8(text)));
}

void CentreOver(QWidget* form, QWidget* owner) {
    QRect area;
    if (owner && owner->isVisible())
        area = owner->frameGeometry();
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    else
        return;
    QRect frame = form->frameGeometry();
    form->move(area.center() - QPoint(frame.width() / 2, frame.height() / 2) +
               (form->pos() - frame.topLeft()));
}

} // namespace prdialogs
