#include "ui/frmAdmin.h"
#include "core/Failure.h"
#include "store/MailStore.h"
#include "core/TextDatabase.h"
#include "ui/VirtualKey.h"
#include "core/mdlCommon.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
frmAdmin* TheAdmin = nullptr;
constexpr int MailIdWidth = 10;

// The boxes of the group under the accounts and the settings they show, read at start-up only.
struct SendingBox {
    QLineEdit* frmAdmin::*box;
    const char* key;
};
const SendingBox SendingBoxes[] = {
    {&frmAdmin::txtSubmission, "Submission"},
    {&frmAdmin::txtImap, "Imap"},
    {&frmAdmin::txtImaps, "Imaps"},
    {&frmAdmin::txtRelayHost, "RelayHost"},
    {&frmAdmin::txtRelayHostUser, "RelayHostUser"},
    {&frmAdmin::txtRelayHostPasswordFile, "RelayHostPasswordFile"},
};
}

frmAdmin& frmAdmin::Shared()
{
    if (!TheAdmin)
        TheAdmin = new frmAdmin;
    return *TheAdmin;
}

bool frmAdmin::Exists() { return TheAdmin != nullptr; }

void frmAdmin::Open()
{
    frmAdmin& admin = Shared();
    admin.setWindowState(admin.windowState() & ~Qt::WindowMinimized);   // a minimised one comes back too
    admin.show();
    admin.raise();
    admin.activateWindow();
}

frmAdmin::frmAdmin(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("管理"));
    Label1 = new QLabel(QStringLiteral("ドメイン名:"));
    txtDomain = new QLineEdit;
    Label5 = new QLabel(QStringLiteral("SMTP:"));
    txtSMTP = new QLineEdit;
    Label2 = new QLabel(QStringLiteral("ユーザー名:"));
    txtUserName = new QLineEdit;
    cmdAddUser = new QPushButton(QStringLiteral("新規作成"));
    Label6 = new QLabel(QStringLiteral("Pop3:"));
    txtPop3 = new QLineEdit;
    Label3 = new QLabel(QStringLiteral("パスワード:"));
    txtPassword = new QLineEdit;
    cmdPassword = new QPushButton(QStringLiteral("パスワード"));
    Label4 = new QLabel(QStringLiteral("メールＩＤ:"));
    txtMailID = new QLineEdit;
    lblDomain = new QLabel;
    lstUsers = new QListWidget;

    for (QLineEdit* port : {txtSMTP, txtPop3})
        port->setMaximumWidth(70);
    auto* grid = new QGridLayout;
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(txtDomain, 0, 1);
    grid->addWidget(Label5, 0, 3);
    grid->addWidget(txtSMTP, 0, 4);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(txtUserName, 1, 1);
    grid->addWidget(cmdAddUser, 1, 2);
    grid->addWidget(Label6, 1, 3);
    grid->addWidget(txtPop3, 1, 4);
    grid->addWidget(Label3, 2, 0);
    grid->addWidget(txtPassword, 2, 1);
    grid->addWidget(cmdPassword, 2, 2);
    grid->addWidget(Label4, 3, 0);
    grid->addWidget(txtMailID, 3, 1);
    grid->addWidget(lblDomain, 3, 2, 1, 3);
    auto* box = new QVBoxLayout(this);
    box->addLayout(grid);
    box->addWidget(lstUsers, 1);

    AddSending(box);

    connect(cmdAddUser, &QPushButton::clicked, this, &frmAdmin::cmdAddUser_Click);
    connect(cmdPassword, &QPushButton::clicked, this, &frmAdmin::cmdPassword_Click);
    // A chosen entry, by mouse or arrow keys. Not the current row alone: tabbing into
    // the list makes its first entry current and would overwrite the boxes being typed.
    connect(lstUsers, &QListWidget::itemSelectionChanged, this, [this] {
        if (!reloading_ && !lstUsers->selectedItems().isEmpty())
            lstUsers_Click();
    });
    for (QObject* o : {static_cast<QObject*>(txtDomain), static_cast<QObject*>(txtPop3),
                       static_cast<QObject*>(txtSMTP), static_cast<QObject*>(lstUsers)})
        o->installEventFilter(this);

    Form_Initialize();
    Form_Load();
    loaded_ = true;
}

// The settings of sending and relaying, stored as typed; they count from the next start.
void frmAdmin::AddSending(QVBoxLayout* box)
{
    grpSending = new QGroupBox(QStringLiteral("送信と中継（次回の起動から有効）"));
    auto* form = new QFormLayout(grpSending);
    for (const SendingBox& b : SendingBoxes) {
        this->*b.box = new QLineEdit;
        form->addRow(QLatin1String(b.key) + QLatin1Char(':'), this->*b.box);
        (this->*b.box)->installEventFilter(this);
    }
    for (QLineEdit* port : {txtSubmission, txtImap, txtImaps})
        port->setMaximumWidth(70);
    txtRelayHost->setPlaceholderText(QStringLiteral("host[:port]"));
    cboRelayHostTls = new QComboBox;
    cboRelayHostTls->addItems({QStringLiteral("verify"), QStringLiteral("encrypt"), QStringLiteral("none")});
    form->addRow(QStringLiteral("RelayHostTls:"), cboRelayHostTls);
    box->addWidget(grpSending);
    connect(cboRelayHostTls, &QComboBox::activated, this, [this] {
        QSettings().setValue(QStringLiteral("RelayHostTls"), cboRelayHostTls->currentText());
    });
}

frmAdmin::~frmAdmin()
{
    if (TheAdmin == this)
        TheAdmin = nullptr;
}

// Closing unloads the window; opening it again loads it afresh, so the list shows
// folders added meanwhile. The one shared window object stays.
void frmAdmin::closeEvent(QCloseEvent* e)
{
    StoreSetting(focusWidget());
    loaded_ = false;
    QWidget::closeEvent(e);
}

void frmAdmin::showEvent(QShowEvent* e)
{
    if (!loaded_) {
        Form_Load();
        loaded_ = true;
    }
    QWidget::showEvent(e);
}

bool frmAdmin::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::FocusOut) {
        // Another window or a context menu takes the focus only for a while: the box is
        // still being edited (closing the window stores it).
        const Qt::FocusReason why = static_cast<QFocusEvent*>(e)->reason();
        if (why != Qt::ActiveWindowFocusReason && why != Qt::PopupFocusReason)
            StoreSetting(watched);
    } else if (watched == lstUsers && e->type() == QEvent::KeyRelease) {
        auto* k = static_cast<QKeyEvent*>(e);
        lstUsers_KeyUp(VirtualKeyCode(k->key()), int(k->modifiers()));
    }
    return QWidget::eventFilter(watched, e);
}

void frmAdmin::StoreSetting(QObject* box)
{
    if (box == txtDomain) txtDomain_LostFocus();
    else if (box == txtPop3) txtPop3_LostFocus();
    else if (box == txtSMTP) txtSMTP_LostFocus();
    for (const SendingBox& b : SendingBoxes)
        if (box == this->*b.box) {
            // Only the settings: the listeners and the relay read them when the server starts.
            const QString text = (this->*b.box)->text().trimmed();
            if (text.isEmpty())
                QSettings().remove(QLatin1String(b.key));
            else
                QSettings().setValue(QLatin1String(b.key), text);
        }
}

void frmAdmin::LoadSending()
{
    QSettings store;
    for (const SendingBox& b : SendingBoxes)
        (this->*b.box)->setText(store.value(QLatin1String(b.key)).toString());
    const int tls = cboRelayHostTls->findText(store.value(QStringLiteral("RelayHostTls"), QStringLiteral("verify")).toString().trimmed().toLower());
    cboRelayHostTls->setCurrentIndex(tls < 0 ? 0 : tls);
}

void frmAdmin::Message(const QString& text, bool critical)
{
    if (MessageShown) {
        MessageShown(text, critical);
        return;
    }
    QMessageBox box(critical ? QMessageBox::Critical : QMessageBox::NoIcon, QStringLiteral("Tandrivel"), text, QMessageBox::Ok, this);
    box.exec();
}

void frmAdmin::Form_Initialize()
{
    QDir().mkpath(mdlCommon::UsersFolder());   // an existing folder is fine
}

void frmAdmin::Form_Load()
{
    txtDomain->setText(QStringLiteral("@") + mdlCommon::ServerDomain);
    lblDomain->setText(txtDomain->text());
    lstUsers_KeyUp(VK_F5, 0);
    txtPop3->setText(mdlCommon::Pop3Port);
    txtSMTP->setText(mdlCommon::SmtpPort);
    LoadSending();
}

void frmAdmin::lstUsers_KeyUp(int KeyCode, int)
{
    if (KeyCode != VK_F5)
        return;
    reloading_ = true;
    lstUsers->clear();
    const QStringList names = QDir(mdlCommon::UsersFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names)
        if (!name.startsWith(QLatin1Char('.')))
            lstUsers->addItem(name);
    reloading_ = false;
}

void frmAdmin::lstUsers_Click()
{
    const QList<QListWidgetItem*> chosen = lstUsers->selectedItems();
    QListWidgetItem* item = chosen.isEmpty() ? lstUsers->currentItem() : chosen.first();
    if (!item)
        return;
    try {
        const QString entry = item->text();
        if (entry.size() > MailIdWidth)
            throw Failure(Err::Database, QStringLiteral("メールＩＤ「%1」は%2文字を超えています。").arg(entry).arg(MailIdWidth));
        const QString padded = entry + QString(MailIdWidth - entry.size(), QLatin1Char(' '));
        const auto r = mdlCommon::DbConnection().Execute(QStringLiteral("Select * From Users.txt Where MailID=?"), {padded});
        if (r.rows.isEmpty())
            throw Failure(Err::NoCurrentRecord, QStringLiteral("No current record (Users.txt has no row for \"%1\")").arg(entry));
        const QStringList& row = r.rows.first();
        txtUserName->setText(row.value(int(r.columns.indexOf(QStringLiteral("UserName")))));
        txtPassword->setText(row.value(int(r.columns.indexOf(QStringLiteral("Password")))));
        txtMailID->setText(row.value(int(r.columns.indexOf(QStringLiteral("MailID")))));
    } catch (const Failure& f) {
        Message(QString::fromUtf8(f.text()));
    }
}

void frmAdmin::cmdAddUser_Click()
{
    const QString id = txtMailID->text();
    const QByteArray folder = QFile::encodeName(mdlCommon::UsersFolder() + (id.isEmpty() ? QString() : QLatin1Char('/') + id));
    bool made = false;
    try {
        // An empty mail ID names the Users folder itself, which exists.
        // A name starting with "." would be hidden from the account list.
        if (!id.isEmpty() && (!MailStore::IsMailboxName(id) || id.size() > MailIdWidth || id.endsWith(QLatin1Char(' '))
                              || id.startsWith(QLatin1Char('.'))))
            throw Failure(Err::InvalidArgument,
                          QStringLiteral("メールＩＤ「%1」はフォルダー名に使えません。「/」「\\」を含まない%2文字以内の名前にしてください（「.」「..」は使えません）。")
                              .arg(id).arg(MailIdWidth));
        if (::mkdir(folder.constData(), 0700) != 0) {
            if (errno == EEXIST)
                throw Failure(Err::PathAccess, QStringLiteral("Path/File access error"));
            throw FailureFromErrno(errno, QFile::decodeName(folder));
        }
        made = true;
        mdlCommon::DbConnection().Execute(QStringLiteral("Insert Into Users.txt (UserName, Password, MailID) values(?,?,?)"),
                                          {txtUserName->text(), txtPassword->text(), id});
        lstUsers_KeyUp(VK_F5, 0);
        Message(QStringLiteral("新規登録しました。"));
    } catch (const Failure& f) {
        // A folder without its row would make the next try say the ID is taken; the empty
        // one just made goes again.
        if (made)
            ::rmdir(folder.constData());
        if (f.number == Err::PathAccess)
            Message(QStringLiteral("このMailIDは既に存在します。"), true);
        else
            Message(QString::fromUtf8(f.text()));
    }
}

void frmAdmin::cmdPassword_Click()
{
    try {
        const auto r = mdlCommon::DbConnection().Execute(
            QStringLiteral("Update Users.txt Set Password=? Where UserName=? And MailID=?"),
            {txtPassword->text(), txtUserName->text(), txtMailID->text()});
        if (r.changes == 1)
            Message(QStringLiteral("パスワードを変更しました。"));
        else
            Message(QStringLiteral("失敗しました!!"), true);
    } catch (const Failure& f) {
        Message(QString::fromUtf8(f.text()));
    }
}

void frmAdmin::txtDomain_LostFocus()
{
    if (!txtDomain->text().startsWith(QLatin1Char('@')))
        txtDomain->setText(QStringLiteral("@") + txtDomain->text());
    lblDomain->setText(txtDomain->text());
    mdlCommon::ServerDomain = txtDomain->text().mid(1);
    QSettings().setValue(QStringLiteral("Domain"), mdlCommon::ServerDomain);
}

void frmAdmin::txtPop3_LostFocus()
{
    mdlCommon::Pop3Port = txtPop3->text();
    QSettings().setValue(QStringLiteral("Pop3"), mdlCommon::Pop3Port);
}

void frmAdmin::txtSMTP_LostFocus()
{
    mdlCommon::SmtpPort = txtSMTP->text();
    QSettings().setValue(QStringLiteral("SMTP"), mdlCommon::SmtpPort);
}
