#pragma once
#include <QWidget>
#include <functional>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QVBoxLayout;

// Accounts, the served domain and the two ports; under them, the submission port and the
// relay host, which take effect at the next start.
class frmAdmin : public QWidget {
    Q_OBJECT
public:
    // The one administration window of the process, created at its first use.
    static frmAdmin& Shared();
    static bool Exists();
    // Shows the shared window in front, also when it was minimised or closed.
    static void Open();

    explicit frmAdmin(QWidget* parent = nullptr);
    ~frmAdmin() override;

    void Form_Initialize();
    void Form_Load();
    void lstUsers_KeyUp(int KeyCode, int Shift);
    void lstUsers_Click();
    void cmdAddUser_Click();
    void cmdPassword_Click();
    void txtDomain_LostFocus();
    void txtPop3_LostFocus();
    void txtSMTP_LostFocus();

    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *lblDomain;
    QLineEdit *txtDomain, *txtSMTP, *txtUserName, *txtPop3, *txtPassword, *txtMailID;
    QPushButton *cmdAddUser, *cmdPassword;
    QListWidget* lstUsers;
    QGroupBox* grpSending;
    QLineEdit *txtSubmission, *txtImap, *txtImaps, *txtRelayHost, *txtRelayHostUser, *txtRelayHostPasswordFile;
    QComboBox* cboRelayHostTls;

    // Tests see message boxes here instead of on the screen.
    std::function<void(const QString& text, bool critical)> MessageShown;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void Message(const QString& text, bool critical = false);
    void AddSending(QVBoxLayout* box);
    void StoreSetting(QObject* box);   // the setting of a domain, port or relay box, if it is one
    void LoadSending();
    bool reloading_ = false;
    bool loaded_ = false;
};
