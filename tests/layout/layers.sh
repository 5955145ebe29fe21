#!/bin/sh
# Each folder includes only itself and the folders it may build on: no include upward, so no
# folder circle. A new folder gets a row here.
set -eu
cd "$(dirname "$0")/../.."
allowed() {
    case "$1" in
        core)    echo "core" ;;
        mail)    echo "mail" ;;
        dns)     echo "dns mail core" ;;
        store)   echo "store mail core" ;;
        deliver) echo "deliver store mail core" ;;
        dkim)    echo "dkim deliver dns mail core" ;;
        check)   echo "check dkim deliver dns mail core" ;;
        milter)  echo "milter deliver mail core" ;;
        pop3)    echo "pop3 store mail core" ;;
        smtp)    echo "smtp deliver mail core" ;;
        imap)    echo "imap store mail core" ;;
        relay)   echo "relay deliver store dns mail core" ;;
        report)  echo "report relay check dkim deliver store dns mail core" ;;
        acme)    echo "acme dns mail core" ;;
        ui)      echo "ui store mail core" ;;
        app)     echo "app ui acme report relay imap smtp pop3 milter check dkim deliver store dns mail core" ;;
        *)       echo "?" ;;
    esac
}
status=0
files=$(git ls-files '*.h' '*.cpp' 2>/dev/null || find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||')
for file in $(echo "$files" | grep -v -E '^(tests|fuzz|bench|build[^/]*)/'); do
    folder=${file%%/*}
    ok=$(allowed "$folder")
    if [ "$ok" = "?" ]; then echo "$file: folder $folder has no row here"; status=1; continue; fi
    for dep in $(sed -n 's/^#include "\([a-z0-9]*\)\/.*"/\1/p' "$file" | sort -u); do
        case " $ok " in *" $dep "*) ;; *) echo "$file includes $dep/, which $folder/ may not"; status=1 ;; esac
    done
done
exit $status
