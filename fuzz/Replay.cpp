// Runs a fuzz target over saved inputs without libFuzzer, so any compiler's build replays the
// seed corpus and every input that once found a fault: fuzz_replay <target> <folder>...
#include "FuzzSupport.h"

#include <map>
#include <string>

static std::map<std::string, FuzzFunction>& Targets()
{
    static std::map<std::string, FuzzFunction> targets;
    return targets;
}
bool RegisterFuzzTarget(const char* name, FuzzFunction f) { return Targets().emplace(name, f).second; }

int main(int argc, char** argv)
{
    if (argc < 3 || !Targets().count(argv[1])) {
        fprintf(stderr, "usage: %s <target> <folder>...\n", argv[0]);
        return 2;
    }
    int count = 0;
    for (int i = 2; i < argc; ++i) {   // a missing folder (no saved faults yet) holds nothing
        QStringList files;
        for (QDirIterator it(QString::fromLocal8Bit(argv[i]), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) files << it.next();
        files.sort();
        for (const QString& path : files) {
            QFile f(path);
            FUZZ_CHECK(f.open(QIODevice::ReadOnly), "cannot read %s", qPrintable(path));
            const QByteArray d = f.readAll();
            Targets()[argv[1]](reinterpret_cast<const uint8_t*>(d.constData()), size_t(d.size()));
            ++count;
        }
    }
    printf("%s: %d inputs replayed\n", argv[1], count);
    return count ? 0 : 1;
}
