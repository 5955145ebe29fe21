// The two windows: the administration window and the console with its log.
// Runs offscreen; settings go to a temporary folder, message boxes to a list.
#include "TestSupport.h"
#include "admin/frmAdmin.h"
#include "core/LogList.h"
#include "core/TextDatabase.h"
#include "core/frmMailServer.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QtTest>
#include <memory>

namespace {

struct Shown {
    QString text;
    bool critical;
};

// A fresh program folder and an administration window whose message boxes are recorded.
struct AdminFixture {
    ProgramFolder folder;
    std::unique_ptr<frmAdmin> admin;
    QList<Shown> messages;
    explicit AdminFixture(const QByteArray& users = "UserName,Password,MailID\n") : folder(users) {}
    frmAdmin& Open()
    {
        admin = std::make_unique<frmAdmin>();
        admin->MessageShown = [this](const QString& t, bool c) { messages << Shown{t, c}; };
        return *admin;
    }
    QStringList Listed() const
    {
        QStringList out;
        for (int i = 0; i < admin->lstUsers->count(); ++i) out << admin->lstUsers->item(i)->text();
        return out;
    }
    QStringList RowsFor(const QString& mailId) const
    {
        QStringList out;
        const auto r = mdlCommon::DbConnection().Execute(
            QStringLiteral("Select UserName, Password From Users.txt Where MailID=?"), {mailId});
        for (const QStringList& row : r.rows) out << row.join(QLatin1Char(':'));
        return out;
    }
};

// Moves the keyboard focus away from a box, as the operator does with Tab or the mouse.
void Leave(QLineEdit* box, QWidget* next)
{
    box->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(box->hasFocus());
    next->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(next->hasFocus());
}

}

class TestWindows : public QObject {
    Q_OBJECT
    QTemporaryDir config_;

private slots:
    void initTestCase()
    {
        QVERIFY(config_.isValid());
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config_.path());
        QCoreApplication::setOrganizationName(QString::fromLatin1(mdlCommon::CompanyName));
        QCoreApplication::setApplicationName(QStringLiteral("Tandrivel"));
    }
    void init()
    {
        QSettings().clear();
        mdlCommon::ServerDomain = QStringLiteral("localhost");
        mdlCommon::Pop3Port = QStringLiteral("110");
        mdlCommon::SmtpPort = QStringLiteral("25");
    }
    void cleanup()
    {
        if (frmAdmin::Exists())
            delete &frmAdmin::Shared();
    }

    void loadFillsBoxesFromSettings()
    {
        ProgramFolder folder;
        folder.Mailbox(QStringLiteral("bob"));
        folder.Mailbox(QStringLiteral("alice"));
        folder.Mailbox(QStringLiteral(".trash"));
        folder.Write(QStringLiteral("Users/notes.txt"), "a plain file is listed too");
        {
            QSettings s;
            s.setValue(QStringLiteral("Pop3"), QStringLiteral("1100"));
            s.setValue(QStringLiteral("SMTP"), QStringLiteral("smtp"));   // any text is kept
        }
        // Without a domain start-up shows only this window, loaded from the settings.
        QCOMPARE(mdlCommon::Main(), 0);
        QVERIFY(frmAdmin::Exists());
        frmAdmin& admin = frmAdmin::Shared();
        QVERIFY(admin.isVisible());
        QCOMPARE(admin.windowTitle(), QStringLiteral("管理"));
        QCOMPARE(admin.txtDomain->text(), QStringLiteral("@localhost"));
        QCOMPARE(admin.lblDomain->text(), QStringLiteral("@localhost"));
        QCOMPARE(admin.txtPop3->text(), QStringLiteral("1100"));
        QCOMPARE(admin.txtSMTP->text(), QStringLiteral("smtp"));
        QStringList listed;
        for (int i = 0; i < admin.lstUsers->count(); ++i) listed << admin.lstUsers->item(i)->text();
        listed.sort();
        QCOMPARE(listed, (QStringList{"alice", "bob", "notes.txt"}));

        AdminFixture f;
        mdlCommon::ServerDomain = QStringLiteral("example.test");
        f.Open();
        QCOMPARE(f.admin->txtDomain->text(), QStringLiteral("@example.test"));
        QCOMPARE(f.admin->lblDomain->text(), QStringLiteral("@example.test"));
    }

    void leavingBoxesStoresSettings_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("stored");
        QTest::newRow("plain") << "d.test" << "@d.test" << "d.test";
        QTest::newRow("one @") << "@d.test" << "@d.test" << "d.test";
        QTest::newRow("two @") << "@@d.test" << "@@d.test" << "@d.test";
        QTest::newRow("empty") << "" << "@" << "";
    }
    void leavingBoxesStoresSettings()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(QString, stored);
        AdminFixture f;
        frmAdmin& a = f.Open();
        a.show();
        a.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&a));

        a.txtDomain->setText(typed);
        Leave(a.txtDomain, a.txtPop3);
        QCOMPARE(a.txtDomain->text(), shown);
        QCOMPARE(a.lblDomain->text(), shown);
        QCOMPARE(mdlCommon::ServerDomain, stored);
        QCOMPARE(QSettings().value(QStringLiteral("Domain")).toString(), stored);

        // Ports are stored as typed, digits or not, and replace the running values at once.
        a.txtPop3->setText(QStringLiteral("pop"));
        Leave(a.txtPop3, a.txtSMTP);
        a.txtSMTP->setText(QStringLiteral("2525"));
        Leave(a.txtSMTP, a.txtUserName);
        QCOMPARE(mdlCommon::Pop3Port, QStringLiteral("pop"));
        QCOMPARE(mdlCommon::SmtpPort, QStringLiteral("2525"));
        QSettings s;
        QCOMPARE(s.value(QStringLiteral("Pop3")).toString(), QStringLiteral("pop"));
        QCOMPARE(s.value(QStringLiteral("SMTP")).toString(), QStringLiteral("2525"));
    }

    void accountCreation()
    {
        AdminFixture f;
        frmAdmin& a = f.Open();
        a.txtUserName->setText(QStringLiteral("Alice O'Hara"));
        a.txtPassword->setText(QStringLiteral("pw,1"));
        a.txtMailID->setText(QStringLiteral("alice67890"));   // ten characters: the widest allowed
        a.cmdAddUser->click();
        QCOMPARE(f.messages.size(), 1);
        QCOMPARE(f.messages[0].text, QStringLiteral("新規登録しました。"));
        QVERIFY(!f.messages[0].critical);
        QVERIFY(QFileInfo(f.folder.Path(QStringLiteral("Users/alice67890"))).isDir());
        QCOMPARE(f.RowsFor(QStringLiteral("alice67890")), QStringList{"Alice O'Hara:pw,1"});
        QCOMPARE(f.Listed(), QStringList{"alice67890"});

        // The folder alone tells that a mail ID is taken; no second row is added.
        a.txtUserName->setText(QStringLiteral("mallory"));
        a.cmdAddUser->click();
        QCOMPARE(f.messages.size(), 2);
        QCOMPARE(f.messages[1].text, QStringLiteral("このMailIDは既に存在します。"));
        QVERIFY(f.messages[1].critical);
        QCOMPARE(f.RowsFor(QStringLiteral("alice67890")).size(), 1);

        // An empty mail ID names Users itself, which exists.
        a.txtMailID->clear();
        a.cmdAddUser->click();
        QCOMPARE(f.messages.size(), 3);
        QCOMPARE(f.messages[2].text, QStringLiteral("このMailIDは既に存在します。"));
        QVERIFY(f.RowsFor(QString()).isEmpty());
    }

    void mailIdsThatAreNoMailboxAreRefused_data()
    {
        QTest::addColumn<QString>("mailId");
        QTest::newRow("slash") << "a/b";
        QTest::newRow("climbs out") << "../x";
        QTest::newRow("parent") << "..";
        QTest::newRow("itself") << ".";
        QTest::newRow("backslash") << "a\\b";
        QTest::newRow("eleven characters") << "abcdefghijk";
        QTest::newRow("trailing blank") << "bob ";
        QTest::newRow("hidden") << ".x";
    }
    void mailIdsThatAreNoMailboxAreRefused()
    {
        QFETCH(QString, mailId);
        AdminFixture f;
        frmAdmin& a = f.Open();
        const QStringList before = QDir(f.folder.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        const QByteArray table = f.folder.Read(QStringLiteral("Users.txt"));
        a.txtUserName->setText(QStringLiteral("eve"));
        a.txtMailID->setText(mailId);
        a.cmdAddUser->click();
        QCOMPARE(f.messages.size(), 1);
        QVERIFY(!f.messages[0].critical);
        QVERIFY2(f.messages[0].text.startsWith(QStringLiteral("5:")), qPrintable(f.messages[0].text));
        QVERIFY(f.messages[0].text.contains(mailId));
        QVERIFY(f.folder.Files(QStringLiteral("Users")).isEmpty());
        QVERIFY(QDir(f.folder.Path(QStringLiteral("Users"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
        QCOMPARE(QDir(f.folder.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QCOMPARE(f.folder.Read(QStringLiteral("Users.txt")), table);
    }

    void choosingAnEntryShowsItsRow()
    {
        AdminFixture f("UserName,Password,MailID\nbob,secret,bob\n");
        for (const char* id : {"bob", "ghost", "abcdefghijk"})
            f.folder.Mailbox(QString::fromLatin1(id));
        frmAdmin& a = f.Open();
        const auto choose = [&](const QString& entry) {
            const auto found = a.lstUsers->findItems(entry, Qt::MatchExactly);
            QCOMPARE(found.size(), 1);
            a.lstUsers->setCurrentItem(found.first());
        };

        // Tabbing into the list chooses nothing: the boxes being typed stay.
        a.show();
        a.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&a));
        a.txtUserName->setText(QStringLiteral("typed"));
        a.lstUsers->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(a.lstUsers->hasFocus());
        QCOMPARE(a.txtUserName->text(), QStringLiteral("typed"));
        QVERIFY(f.messages.isEmpty());

        choose(QStringLiteral("bob"));   // looked up as "bob" padded to ten characters
        QCOMPARE(a.txtUserName->text(), QStringLiteral("bob"));
        QCOMPARE(a.txtPassword->text(), QStringLiteral("secret"));
        QCOMPARE(a.txtMailID->text(), QStringLiteral("bob"));
        QVERIFY(f.messages.isEmpty());

        choose(QStringLiteral("ghost"));   // a folder without a row
        QCOMPARE(f.messages.size(), 1);
        QVERIFY(f.messages[0].text.startsWith(QStringLiteral("3021:")));
        QVERIFY(!f.messages[0].critical);
        QCOMPARE(a.txtUserName->text(), QStringLiteral("bob"));

        choose(QStringLiteral("abcdefghijk"));   // too wide for the column
        QCOMPARE(f.messages.size(), 2);
        QVERIFY(f.messages[1].text.contains(QStringLiteral("abcdefghijk")));
    }

    void passwordChange()
    {
        AdminFixture f("UserName,Password,MailID\nalice,old,alice\nbob,bobpw,bob\ntwin,a,twin\ntwin,b,twin\n");
        frmAdmin& a = f.Open();
        const auto change = [&](const char* user, const char* mailId, const char* password) {
            a.txtUserName->setText(QString::fromLatin1(user));
            a.txtMailID->setText(QString::fromLatin1(mailId));
            a.txtPassword->setText(QString::fromLatin1(password));
            a.cmdPassword->click();
            return f.messages.isEmpty() ? Shown{} : f.messages.takeLast();
        };

        Shown m = change("alice", "alice", "new");
        QCOMPARE(m.text, QStringLiteral("パスワードを変更しました。"));
        QVERIFY(!m.critical);
        QCOMPARE(f.RowsFor(QStringLiteral("alice")), QStringList{"alice:new"});

        // Name and mail ID must belong to one row.
        m = change("bob", "alice", "stolen");
        QCOMPARE(m.text, QStringLiteral("失敗しました!!"));
        QVERIFY(m.critical);
        QCOMPARE(f.RowsFor(QStringLiteral("alice")), QStringList{"alice:new"});
        QCOMPARE(f.RowsFor(QStringLiteral("bob")), QStringList{"bob:bobpw"});

        m = change("twin", "twin", "c");   // two rows match: not the one account asked for
        QCOMPARE(m.text, QStringLiteral("失敗しました!!"));
        QVERIFY(m.critical);
    }

    void f5ReloadsTheList()
    {
        AdminFixture f;
        f.folder.Mailbox(QStringLiteral("first"));
        frmAdmin& a = f.Open();
        QCOMPARE(f.Listed(), QStringList{"first"});
        f.folder.Mailbox(QStringLiteral("later"));
        QTest::keyRelease(a.lstUsers, Qt::Key_F4);
        QCOMPARE(f.Listed(), QStringList{"first"});
        QTest::keyRelease(a.lstUsers, Qt::Key_F5);
        QCOMPARE(f.Listed(), (QStringList{"first", "later"}));

        // Closed and opened again, the window loads afresh.
        a.show();
        a.close();
        f.folder.Mailbox(QStringLiteral("third"));
        a.show();
        QCOMPARE(f.Listed(), (QStringList{"first", "later", "third"}));
    }

    void f6ShowsTheOneAdministrationWindow()
    {
        ProgramFolder folder;
        frmMailServer w;
        w.Log().EchoToStdout = false;
        w.show();
        QVERIFY(!frmAdmin::Exists());
        QTest::keyRelease(w.List1(), Qt::Key_F6);
        QVERIFY(frmAdmin::Exists());
        frmAdmin* first = &frmAdmin::Shared();
        QVERIFY(first->isVisible());
        first->showMinimized();
        QTest::keyRelease(w.List1(), Qt::Key_F6, Qt::ShiftModifier);
        first->close();
        QTest::keyRelease(&w, Qt::Key_F6, Qt::ControlModifier);
        QCOMPARE(&frmAdmin::Shared(), first);
        QVERIFY(first->isVisible());
        QVERIFY(!first->isMinimized());
        int admins = 0;
        for (QWidget* top : QApplication::topLevelWidgets())
            admins += qobject_cast<frmAdmin*>(top) != nullptr;
        QCOMPARE(admins, 1);
    }

    void deleteEmptiesTheLog_data()
    {
        QTest::addColumn<Qt::KeyboardModifiers>("held");
        QTest::newRow("alone") << Qt::KeyboardModifiers(Qt::NoModifier);
        QTest::newRow("shift") << Qt::KeyboardModifiers(Qt::ShiftModifier);
        QTest::newRow("ctrl") << Qt::KeyboardModifiers(Qt::ControlModifier);
        QTest::newRow("alt") << Qt::KeyboardModifiers(Qt::AltModifier);
    }
    void deleteEmptiesTheLog()
    {
        QFETCH(Qt::KeyboardModifiers, held);
        ProgramFolder folder;
        frmMailServer w;
        LogList& log = w.Log();
        log.EchoToStdout = false;
        w.show();
        log.Add("ConnectionRequest I=0 R=7");
        log.Add("2<", "USER bob\r\n");
        QTest::keyRelease(w.List1(), Qt::Key_F5, held);   // other keys leave it
        QCOMPARE(log.Count(), 2);
        QTest::keyRelease(w.List1(), Qt::Key_Delete, held);
        QCOMPARE(log.Count(), 0);
        QCOMPARE(w.List1()->model()->rowCount(), 0);
        log.Add("Close 2");
        QTest::keyRelease(&w, Qt::Key_Delete, held);   // the window itself, without the list focused
        QCOMPARE(log.Count(), 0);
    }

    void listFillsTheClientArea()
    {
        ProgramFolder folder;
        frmMailServer w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.List1()->geometry(), w.rect());
        for (const QSize size : {QSize(800, 600), QSize(120, 90), QSize(500, 100)}) {
            w.resize(size);
            QTRY_COMPARE(w.size(), size);
            QCOMPARE(w.List1()->geometry(), QRect(QPoint(0, 0), size));
        }
    }

    void longLinesStayQuick()
    {
        ProgramFolder folder;
        frmMailServer w;
        LogList& log = w.Log();
        log.EchoToStdout = false;
        w.resize(600, 300);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QByteArray huge(10 << 20, 'x');
        log.Add(huge);                          // the whole line as one part
        log.Add("2<", huge + "\r\n");           // protocol text after a short prefix
        log.Add("Close 2");
        // Painting draws only the head of each line (a full draw took seconds per paint).
        for (int i = 0; i < 5; ++i)
            QVERIFY(!w.grab().isNull());
        for (int row : {1, 2}) {
            const QString shown = log.data(log.index(row)).toString();
            QVERIFY(shown.size() < LogList::ShownChars + 40);
            QVERIFY(shown.endsWith(QStringLiteral("bytes)")));
        }
        QCOMPARE(log.Line(1).size(), huge.size() + 4);   // kept whole
    }
};

QTEST_MAIN(TestWindows)
#include "test_windows.moc"
