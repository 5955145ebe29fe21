#!/bin/sh
# Makes docs/console.png and docs/admin.png: runs the real server under Xvfb in a throw-away
# program folder on free loopback ports, sends one message and fetches it so the log has lines,
# opens the administration window with F6, chooses an account and captures both windows.
# Usage: scripts/screenshots.sh   (BUILD_DIR picks the build folder, default build)
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
build="$top/${BUILD_DIR:-build}"
scripts/install-deps.sh screenshots
scripts/build.sh

tmp=$(mktemp -d)
xvfb=""
server=""
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

# A program folder with two accounts.
run="$tmp/run"
mkdir -p "$run/Users/taro" "$run/Users/hanako" "$tmp/config/Merivolant"
cp "$build/Tandrivel" "$build/GetMX.sh" "$run/"
printf 'UserName,Password,MailID\ntaro,yamada,taro\nhanako,sakura,hanako\n' > "$run/Users.txt"
printf 'Domain,MX,Priority\n' > "$run/DomainMX.txt"
# The demo's ports when they are free (they read well in the picture), else any free ones.
ports=$(/usr/bin/python3 -c '
import socket
def free(want):
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", want))
    except OSError:
        s.bind(("127.0.0.1", 0))
    return s
s = [free(2525), free(1100)]
print(*(x.getsockname()[1] for x in s))')
smtp=${ports% *}
pop3=${ports#* }
printf '[General]\nDomain=example.test\nPop3=%s\nSMTP=%s\n' "$pop3" "$smtp" > "$tmp/config/Merivolant/Tandrivel.conf"

# A display of our own; Xvfb writes the number it took.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
for _ in $(seq 50); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$tmp/display")"
export XDG_CONFIG_HOME="$tmp/config" QT_QPA_PLATFORM=xcb LANG=C.UTF-8

(cd "$run" && exec ./Tandrivel >"$tmp/server.log" 2>&1) &
server=$!
console=$(xdotool search --sync --name '^Tandrivel - @example.test$' | head -n 1)

# One message in, delivered to taro, then fetched.
/usr/bin/python3 - "$smtp" "$pop3" <<'PY'
import poplib, smtplib, sys
smtp, pop3 = int(sys.argv[1]), int(sys.argv[2])
text = ("From: hanako@example.test\r\nTo: taro@example.test\r\nSubject: 会議の件\r\n\r\n"
        "明日の会議は十時からです。\r\n").encode()
with smtplib.SMTP("127.0.0.1", smtp, local_hostname="client.example.test") as s:
    s.sendmail("hanako@example.test", ["taro@example.test"], text)
p = poplib.POP3("127.0.0.1", pop3)
p.user("taro")
p.pass_("yamada")
p.stat()
p.retr(1)
p.quit()
PY
sleep 1

xdotool windowsize "$console" 640 240 windowmove "$console" 0 0
xdotool windowfocus --sync "$console" key F6
admin=$(xdotool search --sync --name '^管理$' | head -n 1)
xdotool windowmove "$admin" 0 300 windowfocus --sync "$admin"
# Choose the first account so the boxes show one.
xdotool mousemove --window "$admin" 60 150 click 1
sleep 1

mkdir -p docs
import -window "$console" docs/console.png
import -window "$admin" docs/admin.png
echo "Wrote docs/console.png and docs/admin.png"
