// The settings table: what a stored text becomes, what a bad one reports, and the README's
// table of settings naming the same keys and defaults.
#include "core/Settings.h"

#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const SettingRow& Row(const QString& key)
{
    for (const SettingRow& r : SettingRows())
        if (key == QLatin1String(r.key))
            return r;
    qFatal("no setting %s", qPrintable(key));
}

QString Shown(const Settings& s, const SettingRow& row)
{
    return std::visit([&s](auto field) {
        const auto& v = s.*field;
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, QString>) return v;
        else if constexpr (std::is_same_v<T, bool>) return QString(v ? "yes" : "no");
        else if constexpr (std::is_same_v<T, QList<int>>) {
            QStringList parts;
            for (int d : v) parts << QString::number(d);
            return parts.join(',');
        } else return QString::number(v);
    }, row.field);
}

// The README's rows: each key with the default its "when absent" column names, or "" when
// the column describes it in words.
QMap<QString, QString> ReadmeDefaults()
{
    QFile f(QFINDTESTDATA("../../README.md"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QMap<QString, QString> defaults;
    bool inTable = false;
    static const QRegularExpression ticked("`([^`]*)`");
    for (const QString& line : QString::fromUtf8(f.readAll()).split('\n')) {
        if (line.startsWith("| key | meaning | when absent |")) { inTable = true; continue; }
        if (!inTable || line.startsWith("|---")) continue;
        if (!line.startsWith('|')) break;
        const QStringList cells = line.split(" | ");
        QStringList keys, values;
        for (auto m = ticked.globalMatch(cells.first()); m.hasNext();) keys << m.next().captured(1);
        QString absent = cells.last().chopped(2);
        for (auto m = ticked.match(absent); m.hasMatch() && m.capturedStart() == 0; m = ticked.match(absent)) {
            values << m.captured(1);
            absent = absent.mid(m.capturedEnd()).remove(QRegularExpression("^, "));
        }
        for (qsizetype k = 0; k < keys.size(); ++k) defaults[keys[k]] = values.value(k);
    }
    return defaults;
}
}

class TestSettings : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    int files_ = 0;

private slots:
    void Read_data()
    {
        QTest::addColumn<QString>("line");   // as the settings file holds it
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("report");
        QTest::newRow("absent: the default") << "" << "RelayRetry" << "60,300,900,1800,3600,7200" << "";
        QTest::newRow("unquoted commas are one text") << "RelayNetworks=10.0.0.0/8, ::1" << "RelayNetworks" << "10.0.0.0/8,::1" << "";
        QTest::newRow("trimmed") << "DkimKey=\" k.pem \"" << "DkimKey" << "k.pem" << "";
        QTest::newRow("lowered") << "RelayHostTls=Encrypt" << "RelayHostTls" << "encrypt" << "";
        QTest::newRow("flag words") << "SpfReject=On" << "SpfReject" << "yes" << "";
        QTest::newRow("flag neither") << "AuthChecks=maybe" << "AuthChecks" << "yes"
                                      << "Setting AuthChecks=\"maybe\" is neither yes nor no; yes is used";
        QTest::newRow("choice") << "MilterDefault=Accept" << "MilterDefault" << "yes" << "";
        QTest::newRow("choice neither") << "MilterDefault=pass" << "MilterDefault" << "no"
                                        << "Setting MilterDefault=\"pass\" is neither tempfail nor accept; tempfail is used";
        QTest::newRow("number") << "SmtpTimeout= 42 " << "SmtpTimeout" << "42" << "";
        QTest::newRow("number below") << "MaxRecipients=0" << "MaxRecipients" << "100"
                                      << "Setting MaxRecipients=\"0\" is not a number we can use; 100 is used";
        QTest::newRow("number above") << "RelayPerDomain=1001" << "RelayPerDomain" << "20"
                                      << "Setting RelayPerDomain=\"1001\" is not a number we can use; 20 is used";
        QTest::newRow("zero budget") << "MemoryBudget=0" << "MemoryBudget" << "0" << "";
        QTest::newRow("not a number") << "LoginDelay=fast" << "LoginDelay" << "250"
                                      << "Setting LoginDelay=\"fast\" is not a number we can use; 250 is used";
        QTest::newRow("seconds") << "RelayRetry=\"5, 10\"" << "RelayRetry" << "5,10" << "";
        QTest::newRow("seconds not") << "RelayRetry=5,0" << "RelayRetry" << "60,300,900,1800,3600,7200"
                                     << "Setting RelayRetry=\"5,0\" is not a list of seconds; 60,300,900,1800,3600,7200 is used";
        QTest::newRow("host name worked out") << "HostName=\" \"" << "HostName" << "machine.example" << "";
        QTest::newRow("second selector worked out") << "DkimSelector=s1" << "DkimEd25519Selector" << "s1-ed25519" << "";
    }
    void Read()
    {
        QFETCH(QString, line);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, report);
        const QString path = dir_.filePath(QString::number(++files_) + ".conf");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[General]\n" + line.toUtf8() + "\n");
        f.close();
        QSettings store(path, QSettings::IniFormat);
        QStringList reports;
        const Settings s = Settings::Read(store, [&reports](const QString& r) { reports << r; }, [] { return QString("machine.example"); });
        QCOMPARE(Shown(s, Row(key)), value);
        QCOMPARE(reports.join('\n'), report);
    }

    // A default is written once: in the table. The README names every key with that default.
    void ReadmeAgrees()
    {
        const QMap<QString, QString> readme = ReadmeDefaults();
        QStringList keys;
        for (const SettingRow& row : SettingRows()) {
            keys << row.key;
            QVERIFY2(readme.contains(row.key), row.key);
            const QString shown = readme[row.key];
            if (shown.contains('<') || (shown.isEmpty() && QByteArray(row.fallback) == "0"))
                continue;   // worked out from other values
            QCOMPARE(shown, QString(row.fallback));
        }
        QCOMPARE(QStringList(readme.keys()), (keys.sort(), keys));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
