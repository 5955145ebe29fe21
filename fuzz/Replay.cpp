// Runs fuzz targets over saved inputs without libFuzzer, so any compiler's build (and
// its sanitizers) replays the seed corpus and every input that once found a fault.
// Usage: fuzz_replay <target> <file or folder>...
#include "FuzzSupport.h"

#include <QDirIterator>
#include <QFileInfo>
#include <map>
#include <string>

namespace {
std::map<std::string, FuzzFunction>& Targets()
{
    static std::map<std::string, FuzzFunction> targets;
    return targets;
}
}

bool RegisterFuzzTarget(const char* name, FuzzFunction f)
{
    Targets()[name] = f;
    return true;
}

int main(int argc, char** argv)
{
    if (argc < 3 || !Targets().count(argv[1])) {
        fprintf(stderr, "usage: %s <target> <file or folder>...\ntargets:", argv[0]);
        for (const auto& [name, f] : Targets()) fprintf(stderr, " %s", name.c_str());
        fputc('\n', stderr);
        return 2;
    }
    const FuzzFunction run = Targets()[argv[1]];
    int count = 0;
    auto one = [&](const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) { fprintf(stderr, "cannot read %s\n", qPrintable(path)); exit(2); }
        const QByteArray d = f.readAll();
        run(reinterpret_cast<const uint8_t*>(d.constData()), size_t(d.size()));
        ++count;
    };
    for (int i = 2; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (!QFileInfo::exists(arg))
            continue;   // a target without saved faults has no regressions folder
        if (QFileInfo(arg).isDir()) {
            QDirIterator it(arg, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            QStringList files;
            while (it.hasNext()) files << it.next();
            files.sort();
            for (const QString& f : files) one(f);
        } else {
            one(arg);
        }
    }
    printf("%s: %d inputs replayed\n", argv[1], count);
    return 0;
}
