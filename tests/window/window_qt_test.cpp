// The Linux main window on Qt's offscreen platform: layout and tab order, the remembered settings
// in QSettings, paths-given mode with its automatic build, the busy state, the message boxes, the
// dialogs, the about box and the help window.
#include "about.h"
#include "window_qt.h"

#include "form_qt.h"
#include "version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace fpackrig;

namespace {

// Runs `act` on the next modal window that opens (a box, a dialog), from the event loop that
// the modal window runs; closes the window afterwards if `act` left it open (a failed check).
void OnNextModal(std::function<void(QWidget&)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->deleteLater();
            poll->stop();
            QPointer<QWidget> guard(modal);
            act(*modal);
            if (guard && guard->isVisible())
                guard->close();
        }
    });
    poll->start(10);
}

QString ModalText(QWidget& modal) {
    auto* box = qobject_cast<QMessageBox*>(&modal);
    return box ? box->text() : QString();
}

// Opens URLs in a test instead of a browser.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> opened;
  public slots:
    void open(const QUrl& url) { opened.append(url); }
};

} // namespace

class WindowQtTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir work_;
    QByteArray imageBytes_;
    prutils::ResourceBytes image_;
    std::unique_ptr<QWidget> window_;

    // Types a name into a file dialog's name field, as the user would.
    static void Type(QFileDialog& dialog, const QString& name) {
        auto* edit = dialog.findChild<QLineEdit*>("fileNameEdit");
        QVERIFY(edit);
        edit->setText(name);
    }

    QString Path(const QString& name) const { return work_.filePath(name); }
    QString SettingsFile() const { return QSettings("Quorvel", "Packrig").fileName(); }

    template <class T> T* Child(const char* name) const {
        T* child = window_->findChild<T*>(name);
        if (!child)
            qFatal("no control %s", name);
        return child;
    }

    // A start as the program makes it: its version, no paths.
    static WindowStart Start() {
        WindowStart start;
        start.version = prutils::FileVersionString(prdialogs::ToUtf8(qApp->applicationFilePath()));
        return start;
    }

    QWidget& Open(WindowStart start) {
        window_ = CreateMainWindow(start, image_);
        ShowMainWindow(*window_);
        if (!QTest::qWaitForWindowExposed(window_.get()))
            qWarning("the main window was not exposed");
        return *window_;
    }

    // A source tree with a batch file and, in a subfolder, a few more files.
    QString MakeSource(const QString& name) {
        QDir(work_.path()).mkpath(name + "/tools");
        WriteFile(name + "/setup.bat", "@echo off\r\nexit /b 3\r\n");
        for (int i = 0; i < 5; ++i)
            WriteFile(name + QString("/tools/f%1.txt").arg(i),
                      QByteArray(100 + i, static_cast<char>('a' + i)));
        return Path(name);
    }

    void WriteFile(const QString& name, const QByteArray& data) {
        QFile file(Path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    }

    // "name size is_exe checksum-ok" lines of an SFX file, read by the independent reader.
    QStringList SfxEntries(const QString& path) {
        QProcess reader;
        reader.start("python3", {"-c",
                                 "import sys; sys.path.insert(0, sys.argv[1]); import sfxfile\n"
                                 "p = sfxfile.parse(sys.argv[2])\n"
                                 "assert p.trailing == b''\n"
                                 "for e in p.entries: print(e.name.decode('cp1252'), len(e.data),"
                                 " e.is_exe, e.checksum == sfxfile.byte_sum(e.name, e.data))",
                                 PACKRIG_TOOLS_DIR, path});
        reader.waitForFinished(30000);
        if (reader.exitCode() != 0)
            return {"reader failed: " + QString::fromUtf8(reader.readAllStandardError())};
        QStringList lines = QString::fromUtf8(reader.readAllStandardOutput()).split('\n');
        lines.removeAll("");
        lines.sort();
        return lines;
    }

    // Runs the application's event loop, as the program does, starting with `first`; returns its
    // exit code, or 99 when nothing ended it within `ms`.
    static int RunApplication(const std::function<void()>& first, int ms = 20000) {
        QTimer::singleShot(0, qApp, first);
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        limit.start(ms);
        return QCoreApplication::exec();
    }

  private slots:
    void initTestCase() {
        QVERIFY(work_.isValid());
        QVERIFY2(SettingsFile().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")),
                 "the settings must live in the test's own folder");
        QFile image(PACKRIG_TEST_IMAGE);
        QVERIFY(image.open(QIODevice::ReadOnly));
        imageBytes_ = image.readAll();
        image_.data = imageBytes_.constData();
        image_.size = static_cast<uint32_t>(imageBytes_.size());
        prdialogs::UseQtBoxes(true);
        prdialogs::AboutWord = "packrig";
    }

    void init() { QFile::remove(SettingsFile()); }
    void cleanup() { window_.reset(); }

    void layoutTextsAndTabOrder() {
        QWidget& window = Open(Start());
        QCOMPARE(window.windowTitle(), QString("Packrig 3.0"));
        QCOMPARE(window.size(), QSize(400, 200));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);

        struct Row {
            const char* name;
            QRect box;
            const char* text;
            bool grows; // labels may be wider and taller than the layout for their text
        };
        const Row table[] = {
            {"lsource", {8, 8, 80, 13}, "Source directory:", true},
            {"ltarget", {8, 104, 73, 13}, "Target SFX file:", true},
            {"lwait", {8, 160, 171, 32}, "Please wait...", true},
            {"lexefile", {8, 56, 197, 13}, "Executable file (from the source directory):", true},
            {"lweb", {8, 176, 57, 13}, "www.quorvel.example", true},
            {"lcmdline", {128, 176, 104, 13}, "Command line support", true},
            {"bmake", {304, 168, 91, 25}, "Packrig", false},
            {"esource", {8, 24, 305, 21}, "", false},
            {"bsource", {320, 24, 75, 25}, "Browse", false},
            {"btarget", {320, 120, 75, 25}, "Browse", false},
            {"etarget", {8, 120, 305, 21}, "", false},
            {"eexefile", {8, 72, 305, 21}, "", false},
            {"bexefile", {320, 72, 75, 25}, "Browse", false},
        };
        QObjectList created = window.children();
        int previous = -1;
        for (const Row& row : table) {
            auto* control = Child<QWidget>(row.name);
            QRect box = control->geometry();
            QCOMPARE(box.topLeft(), row.box.topLeft());
            if (row.grows) {
                QVERIFY2(box.width() >= row.box.width() && box.height() >= row.box.height(),
                         row.name);
                QCOMPARE(qobject_cast<QLabel*>(control)->text(), QString(row.text));
            } else {
                QCOMPARE(box.size(), row.box.size());
            }
            if (auto* button = qobject_cast<QPushButton*>(control))
                QCOMPARE(button->text(), QString(row.text));
            if (auto* edit = qobject_cast<QLineEdit*>(control))
                QCOMPARE(edit->text(), QString(row.text));
            // Creation order decides which control lies above another.
            QVERIFY2(created.indexOf(control) > previous, row.name);
            previous = static_cast<int>(created.indexOf(control));
        }
        QVERIFY(!Child<QLabel>("lwait")->isVisible());
        QVERIFY(Child<QLabel>("lweb")->isVisible() && Child<QLabel>("lcmdline")->isVisible());
        QVERIFY(Child<QPushButton>("bmake")->font().bold());
        QVERIFY(Child<QPushButton>("bmake")->isDefault());
        QVERIFY(Child<QLabel>("lweb")->font().underline());

        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QApplication::focusWidget(), Child<QWidget>("bmake"));
        QStringList order;
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, QStringList({"esource", "bsource", "eexefile", "bexefile", "etarget",
                                     "btarget", "bmake"}));
    }

    void settingsFillFieldsAndEveryBuildStoresThem() {
        // First start: the file is created, the fields stay empty.
        Open(Start());
        QVERIFY(QFile::exists(SettingsFile()));
        QCOMPARE(Child<QLineEdit>("esource")->text(), QString());
        window_.reset();

        // Values of another type are left alone; the others fill their fields.
        {
            QSettings settings("Quorvel", "Packrig");
            settings.setValue("Source", QStringList{"a", "b"});
            settings.setValue("ExeFile", "setup.bat");
            settings.setValue("Target", "/out/with, comma.exe");
        }
        Open(Start());
        QCOMPARE(Child<QLineEdit>("esource")->text(), QString());
        QCOMPARE(Child<QLineEdit>("eexefile")->text(), QString("setup.bat"));
        QCOMPARE(Child<QLineEdit>("etarget")->text(), QString("/out/with, comma.exe"));

        // A rejected build still stores the trimmed source with its slash; the next start
        // shows it.
        Child<QLineEdit>("esource")->setText("  /nonexistent/src  ");
        OnNextModal([](QWidget& box) {
            QCOMPARE(box.windowTitle(), QString("Error"));
            QTest::keyClick(&box, Qt::Key_Return);
        });
        QTest::mouseClick(Child<QPushButton>("bmake"), Qt::LeftButton);
        QVERIFY(window_->isEnabled());
        window_.reset();
        Open(Start());
        QCOMPARE(Child<QLineEdit>("esource")->text(), QString("/nonexistent/src/"));
        QCOMPARE(Child<QLineEdit>("etarget")->text(), QString("/out/with, comma.exe"));
    }

    void pathsGivenBuildsByItselfAndRemembersNothing() {
        QString source = MakeSource("given");
        WindowStart start = Start();
        start.flags.PathsGiven = true;
        start.flags.ShowCompletion = false;
        start.params[0] = prdialogs::ToUtf8(" " + source + " ");
        start.params[1] = "setup.bat";
        start.params[2] = prdialogs::ToUtf8(Path("out/given-sfx.exe"));
        // Shown from the running application, as the program does it.
        QCOMPARE(RunApplication([&] {
                     window_ = CreateMainWindow(start, image_);
                     ShowMainWindow(*window_);
                 }),
                 0);
        QCOMPARE(Child<QLineEdit>("esource")->text(), " " + source + " ");
        QVERIFY(!QFile::exists(SettingsFile()));
        QStringList expected = {"setup.bat 22 1 True",      "tools\\f0.txt 100 0 True",
                                "tools\\f1.txt 101 0 True", "tools\\f2.txt 102 0 True",
                                "tools\\f3.txt 103 0 True", "tools\\f4.txt 104 0 True"};
        QCOMPARE(SfxEntries(Path("out/given-sfx.exe")), expected);
        QVERIFY(QFile(Path("out/given-sfx.exe")).size() > imageBytes_.size());
    }

    void busyWindowRefusesToCloseWhileWriting() {
        QString source = MakeSource("busy");
        QWidget& window = Open(Start());
        Child<QLineEdit>("esource")->setText(source);
        Child<QLineEdit>("eexefile")->setText("setup.bat");
        Child<QLineEdit>("etarget")->setText(Path("busy-sfx.exe"));
        bool sawBusy = false, closedWhileBusy = false, bothShown = false;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            auto* wait = Child<QLabel>("lwait");
            if (wait->isVisible() &&
                (Child<QLabel>("lweb")->isVisible() || Child<QLabel>("lcmdline")->isVisible()))
                bothShown = true;
            if (!wait->isVisible())
                return;
            sawBusy = true;
            bool refused = !window.close();
            if (window.isEnabled() || !refused || !window.isVisible())
                closedWhileBusy = true;
        });
        probe.start(0);
        OnNextModal([](QWidget& box) {
            QCOMPARE(box.windowTitle(), QString("Information"));
            QVERIFY(ModalText(box).contains("successfully created"));
            QTest::keyClick(&box, Qt::Key_Return);
        });
        // Enter presses bmake; the successful build ends the application.
        QCOMPARE(
            RunApplication([&] { QTest::keyClick(Child<QLineEdit>("etarget"), Qt::Key_Return); }),
            0);
        probe.stop();
        QVERIFY(sawBusy);
        QVERIFY(!closedWhileBusy);
        QVERIFY(!bothShown);
        QVERIFY(!Child<QLabel>("lwait")->isVisible() && Child<QLabel>("lweb")->isVisible());
        QVERIFY(QFile::exists(Path("busy-sfx.exe")));
        // After the writing the window may close again, which ends the application.
        bool closed = false;
        QCOMPARE(RunApplication([&] { closed = window.close(); }), 0);
        QVERIFY(closed);
    }

    void overwriteQuestionDefaultsToNoAndFailuresKeepTheWindow() {
        QString source = MakeSource("again");
        WriteFile("existing.exe", "keep me");
        Open(Start());
        Child<QLineEdit>("esource")->setText(source);
        Child<QLineEdit>("eexefile")->setText("setup.bat");
        Child<QLineEdit>("etarget")->setText(Path("existing.exe"));
        QString question;
        OnNextModal([&](QWidget& box) {
            question = box.windowTitle();
            QTest::keyClick(&box, Qt::Key_Return); // the default answer
        });
        QTest::mouseClick(Child<QPushButton>("bmake"), Qt::LeftButton);
        QCOMPARE(question, QString("Question"));
        QFile kept(Path("existing.exe"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep me"));
        QVERIFY(window_->isEnabled());

        // A target below a plain file cannot be written: the window's own error box, captioned
        // with the window's title, and the fields stay.
        Child<QLineEdit>("etarget")->setText(Path("existing.exe/sub/out.exe"));
        QString caption, text;
        OnNextModal([&](QWidget& box) {
            caption = box.windowTitle();
            text = ModalText(box);
            QTest::keyClick(&box, Qt::Key_Return);
        });
        QTest::mouseClick(Child<QPushButton>("bmake"), Qt::LeftButton);
        QCOMPARE(caption, QString("Packrig 3.0"));
        QVERIFY2(text.endsWith('.'), qPrintable(text));
        QVERIFY(window_->isEnabled() && window_->isVisible());
        QCOMPARE(Child<QLineEdit>("etarget")->text(), Path("existing.exe/sub/out.exe"));
    }

    void dialogsStartFromTheFieldsAndFillThem() {
        QString source = MakeSource("dialogs");
        Open(Start());
        Child<QLineEdit>("esource")->setText(source);
        Child<QLineEdit>("etarget")->setText(Path("out.exe"));
        OnNextModal([&](QWidget& modal) {
            auto* dialog = qobject_cast<QFileDialog*>(&modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->directory().absolutePath(), work_.path());
            QCOMPARE(dialog->nameFilters(), QStringList{"Executable files (*.exe)"});
            QVERIFY(dialog->testOption(QFileDialog::DontConfirmOverwrite));
            Type(*dialog, "chosen");
            static_cast<QDialog*>(dialog)->accept();
        });
        QTest::mouseClick(Child<QPushButton>("btarget"), Qt::LeftButton);
        QCOMPARE(Child<QLineEdit>("etarget")->text(), Path("chosen.exe"));

        OnNextModal([&](QWidget& modal) {
            auto* dialog = qobject_cast<QFileDialog*>(&modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->directory().absolutePath(), source);
            QCOMPARE(dialog->nameFilters().size(), 3);
            Type(*dialog, source + "/tools/f1.txt");
            static_cast<QDialog*>(dialog)->accept();
        });
        QTest::mouseClick(Child<QPushButton>("bexefile"), Qt::LeftButton);
        QCOMPARE(Child<QLineEdit>("eexefile")->text(), QString("f1.txt"));

        OnNextModal([](QWidget& modal) { static_cast<QDialog&>(modal).reject(); });
        QTest::mouseClick(Child<QPushButton>("bsource"), Qt::LeftButton);
        QCOMPARE(Child<QLineEdit>("esource")->text(), source);
    }

    void f1OpensTheAboutBoxAndItsLinksOpenWithTheDesktop() {
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler("http", &recorder, "open");
        QDesktopServices::setUrlHandler("mailto", &recorder, "open");
        QWidget& window = Open(Start());
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QStringList seen;
        OnNextModal([&](QWidget& about) {
            QCOMPARE(about.windowTitle(), QString("About..."));
            // 264 by 208, wider only where the typeface needs it: no text is cut off.
            QCOMPARE(about.height(), 208);
            QVERIFY(about.width() >= 264);
            for (QLabel* label : about.findChildren<QLabel*>())
                QVERIFY2(label->geometry().right() < about.width(), qPrintable(label->text()));
            for (QLabel* label : about.findChildren<QLabel*>())
                if (!label->text().isEmpty())
                    seen << label->text();
            for (QLabel* label : about.findChildren<QLabel*>())
                if (label->text().contains("quorvel.example"))
                    QTest::mouseClick(label, Qt::LeftButton);
            QTest::keyClick(&about, Qt::Key_Escape);
        });
        QTest::keyClick(Child<QLineEdit>("eexefile"), Qt::Key_F1, Qt::ShiftModifier);
        QVERIFY(seen.contains("Packrig 3.0"));
        QVERIFY(seen.contains("Version 3.0.21.61"));
        QVERIFY(seen.contains("http://www.quorvel.example/packrig"));
        QCOMPARE(recorder.opened, (QList<QUrl>{QUrl("http://www.quorvel.example/packrig"),
                                               QUrl("mailto:packrig@quorvel.example")}));
        QVERIFY(window.isVisible());

        recorder.opened.clear();
        QTest::mouseClick(Child<QLabel>("lweb"), Qt::LeftButton);
        QCOMPARE(recorder.opened, QList<QUrl>{QUrl("http://www.quorvel.example")});
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("mailto");
    }

    void helpWindowShowsTheUsageAndClosesWithEsc() {
        QWidget& window = Open(Start());
        int result = -1;
        QString caption, text;
        QString focus;
        bool readOnly = false;
        QPoint centre;
        OnNextModal([&](QWidget& help) {
            caption = help.windowTitle();
            QCOMPARE(help.size(), QSize(560, 320));
            auto* usage = help.findChild<QPlainTextEdit*>("mcmdline");
            text = usage->toPlainText();
            readOnly = usage->isReadOnly();
            // The dialog takes the focus once it is activated, which a busy machine delays.
            static_cast<void>(
                QTest::qWaitFor([&] { return help.isAncestorOf(QApplication::focusWidget()); }));
            focus = QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : "";
            centre = help.geometry().center();
            usage->setFocus();
            QTest::keyClick(usage, Qt::Key_Escape);
            result = static_cast<QDialog&>(help).result();
        });
        QTest::mouseClick(Child<QLabel>("lcmdline"), Qt::LeftButton);
        QCOMPARE(caption, QString("Packrig 3.0 - Command line support"));
        QVERIFY(text.startsWith("Usage:\npackrig [-o] [-c] [-h] <sourcedir>"));
        QCOMPARE(text.count('\n'), 9);
        QVERIFY(readOnly);
        QCOMPARE(focus, QString("bclose"));
        QVERIFY((centre - window.geometry().center()).manhattanLength() <= 40);
        QCOMPARE(result, 2);
    }
};

QTEST_MAIN(WindowQtTest)
#include "window_qt_test.moc"
