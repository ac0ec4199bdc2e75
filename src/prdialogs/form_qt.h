// Helpers of the builder's Qt windows: the forms' fonts, labels that size themselves, link labels,
// text conversion and opening addresses with the desktop's default handler.
#pragma once

#include <QLabel>
#include <QString>

#include <functional>
#include <string>

namespace prdialogs {

// The forms' typeface at a character height in pixels; where it is missing, a close sans serif.
QFont FormFont(int pixelHeight = 11, bool bold = false);
// The same typeface at a size in points (the about box's heading and version line).
QFont FormPointFont(int points, bool bold);

QString FromUtf8(const std::string& text);
std::string ToUtf8(const QString& text);
// A message text for a Qt label: CR LF line breaks become LF.
QString BoxText(const std::string& text);

// A label at (left, top) with `font`, sized to its text.
QLabel* AddLabel(QWidget* parent, const QString& text, int left, int top, const QFont& font);

// A blue label at (left, top) in `font` underlined, sized to its text, with a hand cursor; a click
// runs `onClick`.
class LinkLabel : public QLabel {
  public:
    LinkLabel(QWidget* parent, const QString& text, int left, int top, QFont font,
              std::function<void(LinkLabel&)> onClick);

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    std::function<void(LinkLabel&)> onClick_;
};

// Opens `text` (a web address, a "mailto:" address) with the desktop's default handler. False,
// opening nothing, when the text is blank; otherwise whether the desktop took it.
bool OpenWithDesktop(const std::string& text);

// Moves `form` so that it is centred over `owner`, or over the screen without an owner.
void CentreOver(QWidget* form, QWidget* owner);

// Routes the message boxes to Qt's message boxes while the window runs.
void UseQtBoxes(bool on);

} // namespace prdialogs
