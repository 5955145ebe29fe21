// The two windows: the administration window and the console with its log.
// Runs offscreen; settings go to a temporary folder, message boxes to a list.
#include "TestSupport.h"
#include "ui/frmAdmin.h"
#include "core/LogList.h"
#include "core/TextDatabase.h"
#include "ui/frmMailServer.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <csignal>
#include <sys/resource.h>

namespace {

using Shown = QList<std::pair<QString, bool>>;   // message box texts, and whether critical

QStringList Listed(const frmAdmin& a)
{
    QStringList out;
    for (int i = 0; i < a.lstUsers->count(); ++i) out << a.lstUsers->item(i)->text();
    return out;
}

// A fresh program folder with the given mailboxes, and an administration window on it.
struct Admin {
    ProgramFolder folder;
    std::unique_ptr<frmAdmin> w;
    Shown messages;
    explicit Admin(const QByteArray& users = "UserName,Password,MailID\n") : folder(users), w(std::make_unique<frmAdmin>())
    {
        w->MessageShown = [this](const QString& t, bool c) { messages.append({t, c}); };
    }
    QStringList Listed() const { return ::Listed(*w); }
    QStringList RowsFor(const QString& mailId) const
    {
        QStringList out;
        for (const QStringList& row : mdlCommon::DbConnection().Execute("Select UserName, Password From Users.txt Where MailID=?", {mailId}).rows)
            out << row.join(':');
        return out;
    }
    void Click(QPushButton* b, const QString& user, const QString& password, const QString& mailId)
    {
        w->txtUserName->setText(user);
        w->txtPassword->setText(password);
        w->txtMailID->setText(mailId);
        b->click();
    }
    void Focus(QWidget* next)   // as the operator does with Tab or the mouse
    {
        next->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(next->hasFocus());
    }
};

}

class TestWindows : public QObject {
    Q_OBJECT
    QTemporaryDir config_;

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config_.path());
        QCoreApplication::setOrganizationName(mdlCommon::CompanyName);
        QCoreApplication::setApplicationName("Tandrivel");
    }
    void cleanup()
    {
        if (frmAdmin::Exists()) delete &frmAdmin::Shared();
    }

    // Without a domain, start-up shows only this window, filled from the settings and the store.
    void loadFillsBoxes()
    {
        ProgramFolder folder;
        for (const char* box : {"bob", "alice", ".trash"}) folder.Mailbox(box);
        folder.Write("Users/notes.txt", "a plain file is listed too");
        QSettings().setValue("Pop3", "1100");
        QSettings().setValue("SMTP", "smtp");   // any text is kept
        QCOMPARE(mdlCommon::Main({}, frmAdmin::Open), 0);
        frmAdmin& a = frmAdmin::Shared();
        QVERIFY(a.isVisible());
        QCOMPARE((QStringList{a.windowTitle(), a.txtDomain->text(), a.lblDomain->text(), a.txtPop3->text(), a.txtSMTP->text()}),
                 (QStringList{"管理", "@localhost", "@localhost", "1100", "smtp"}));
        QCOMPARE(Listed(a), (QStringList{"alice", "bob", "notes.txt"}));
    }

    // Leaving a box stores its setting at once: as typed (ports too, digits or not), blanks
    // trimmed, one "@" off the domain, which the box shows in front; an empty box removes its
    // setting. The running server takes the domain and ports now, the sending group's at the
    // next start.
    void leavingBoxesStoresSettings()
    {
        QSettings().setValue("Submission", "587");
        QSettings().setValue("RelayHostTls", "Encrypt");
        Admin f;
        frmAdmin& a = *f.w;
        QCOMPARE((QStringList{a.txtSubmission->text(), a.txtRelayHost->text(), a.txtRelayHostUser->text(), a.txtRelayHostPasswordFile->text(),
                              a.cboRelayHostTls->currentText()}),
                 (QStringList{"587", "", "", "", "encrypt"}));
        a.show();
        QVERIFY(QTest::qWaitForWindowActive(&a));
        const struct { QLineEdit* box; QString typed, key, stored; const QString* running; } rows[] = {
            {a.txtDomain, "@@d.test", "Domain", "@d.test", &mdlCommon::ServerDomain},
            {a.txtDomain, "@d.test", "Domain", "d.test", &mdlCommon::ServerDomain},
            {a.txtPop3, "pop", "Pop3", "pop", &mdlCommon::Pop3Port},
            {a.txtSMTP, "2525", "SMTP", "2525", &mdlCommon::SmtpPort},
            {a.txtRelayHost, " smart.example.net:2525 ", "RelayHost", "smart.example.net:2525", nullptr},
            {a.txtSubmission, "", "Submission", "(removed)", nullptr},
        };
        for (const auto& r : rows) {
            f.Focus(r.box);
            r.box->setText(r.typed);
            f.Focus(a.txtUserName);
            QCOMPARE(QSettings().value(r.key, "(removed)").toString(), r.stored);
            QVERIFY(!r.running || *r.running == r.stored);
            QVERIFY(r.box != a.txtDomain || (a.txtDomain->text() == r.typed && a.lblDomain->text() == r.typed));
        }
        a.cboRelayHostTls->setCurrentIndex(2);
        emit a.cboRelayHostTls->activated(2);
        QCOMPARE(QSettings().value("RelayHostTls").toString(), QString("none"));
        // A switch to another window or a context menu does not store the box being edited;
        // closing the window does.
        f.Focus(a.txtPop3);
        a.txtPop3->setText("110");
        for (const Qt::FocusReason why : {Qt::ActiveWindowFocusReason, Qt::PopupFocusReason}) {
            QFocusEvent away(QEvent::FocusOut, why);
            QApplication::sendEvent(a.txtPop3, &away);
        }
        QCOMPARE(QSettings().value("Pop3").toString(), QString("pop"));
        a.close();
        QCOMPARE(QSettings().value("Pop3").toString(), QString("110"));
        QCOMPARE(Admin().w->lblDomain->text(), QString("@d.test"));   // a new window shows the domain now set
        for (const char* key : {"RelayHost", "RelayHostTls"})
            QSettings().remove(key);
    }

    // A new account gets its row and folder. A mail ID that is taken (the folder tells) or
    // that is no plain folder name gets neither.
    void accounts()
    {
        Admin f;
        f.Click(f.w->cmdAddUser, "Alice O'Hara", "pw,1", "alice67890");   // ten characters: the widest allowed
        QVERIFY(QFileInfo(f.folder.Path("Users/alice67890")).isDir());
        QCOMPARE(f.RowsFor("alice67890"), QStringList{"Alice O'Hara:pw,1"});
        QCOMPARE(f.Listed(), QStringList{"alice67890"});
        f.Click(f.w->cmdAddUser, "mallory", "x", "alice67890");
        f.Click(f.w->cmdAddUser, "mallory", "x", "");   // names Users itself
        const auto taken = std::make_pair(QString("このMailIDは既に存在します。"), true);
        QCOMPARE(f.messages, (Shown{{"新規登録しました。", false}, taken, taken}));
        const QByteArray table = f.folder.Read("Users.txt");
        for (const QString id : {"../x", "abcdefghijk"}) {
            f.messages.clear();
            f.Click(f.w->cmdAddUser, "eve", "pw", id);
            QVERIFY2(f.messages.size() == 1 && f.messages[0].first.startsWith("5:") && f.messages[0].first.contains(id), qPrintable(id));
            QCOMPARE(QDir(f.folder.Path("Users")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{"alice67890"});
            QCOMPARE(QDir(f.folder.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), (QStringList{"DomainMX.txt", "Users", "Users.txt"}));
            QCOMPARE(f.folder.Read("Users.txt"), table);
        }
        // A table that cannot be written (here: past a file size limit) is no taken ID, and
        // leaves no folder that would make the next try say so.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit was {};
        getrlimit(RLIMIT_FSIZE, &was);
        const rlimit small {rlim_t(table.size()), was.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        f.messages.clear();
        f.Click(f.w->cmdAddUser, "bob", "pw", "bob");
        setrlimit(RLIMIT_FSIZE, &was);
        QVERIFY2(f.messages.size() == 1 && f.messages[0].first.startsWith("3027:"), qPrintable(f.messages.value(0).first));
        QVERIFY(!QFileInfo::exists(f.folder.Path("Users/bob")));
        QCOMPARE(f.folder.Read("Users.txt"), table);
    }

    // User name and mail ID must name exactly one row.
    void passwordChange()
    {
        Admin f("UserName,Password,MailID\nalice,old,alice\nbob,bobpw,bob\ntwin,a,twin\ntwin,b,twin\n");
        f.Click(f.w->cmdPassword, "alice", "new", "alice");
        f.Click(f.w->cmdPassword, "bob", "stolen", "alice");
        f.Click(f.w->cmdPassword, "twin", "c", "twin");
        const auto failed = std::make_pair(QString("失敗しました!!"), true);
        QCOMPARE(f.messages, (Shown{{"パスワードを変更しました。", false}, failed, failed}));
        QCOMPARE(f.RowsFor("alice") + f.RowsFor("bob"), (QStringList{"alice:new", "bob:bobpw"}));
    }

    // F5 reloads the account list.
    void f5ReloadsTheList()
    {
        Admin f;
        frmAdmin& a = *f.w;
        f.folder.Mailbox("later");
        QTest::keyRelease(a.lstUsers, Qt::Key_F5);
        QCOMPARE(f.Listed(), QStringList{"later"});
    }

    // The console: F6 shows the one administration window (also when closed),
    // Delete with any modifier empties the log.
    void console()
    {
        ProgramFolder folder;
        frmMailServer w;
        w.ShowAdmin = frmAdmin::Open;
        LogList& log = w.Log();
        log.EchoToStdout = false;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::keyRelease(w.List1(), Qt::Key_F6);
        frmAdmin* first = &frmAdmin::Shared();
        QVERIFY(first->isVisible());
        first->close();
        QTest::keyRelease(&w, Qt::Key_F6, Qt::ControlModifier);
        QVERIFY(&frmAdmin::Shared() == first && first->isVisible() && !first->isMinimized());

        for (const Qt::KeyboardModifier held : {Qt::NoModifier, Qt::AltModifier}) {
            log.Add("ConnectionRequest I=0 R=7");
            log.Add("2<", "USER bob\r\n");
            QTest::keyRelease(w.List1(), Qt::Key_F5, held);
            QCOMPARE(log.Count(), 2);
            QTest::keyRelease(held == Qt::NoModifier ? static_cast<QWidget*>(&w) : w.List1(), Qt::Key_Delete, held);
            QCOMPARE(log.rowCount(), 0);
        }

        // Every buffer and reply is a log line, and it keeps 2000 of them: whole, a client
        // that fetched a 20 MB message thirty times held 600 MB there. Each keeps its head and
        // is drawn short, saying how long it was.
        const QByteArray big(20 << 20, 'x');
        for (int i = 0; i < 10; ++i) {
            log.Add("2>", big);
            log.Add("2-SendComplete");
        }
        log.Add(big);   // all of it the prefix
        QVERIFY(!w.grab().isNull());
        const int last = log.Count() - 1;
        QCOMPARE((Lines{log.Line(0), log.Line(last - 1), log.Line(last)}),
                 (Lines{big.left(LogList::HeadBytes), "2-SendComplete", "2>" + big.left(LogList::HeadBytes - 2)}));
        for (int row : {0, last}) {
            const QString shown = log.data(log.index(row)).toString();
            QVERIFY(shown.size() < LogList::ShownChars + 40 && shown.endsWith(QString("(%1 bytes)").arg(big.size() + 2 * row / last)));
        }
    }
};

QTEST_MAIN(TestWindows)
#include "test_windows.moc"
