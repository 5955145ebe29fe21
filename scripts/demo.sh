#!/bin/sh
# Installs, builds and starts Tandrivel serving the demo domain example.test.
# Program folder: run/ (accounts in run/Users.txt, mail in run/Users/<MailID>/).
# Ports: SMTP 2525, POP3 1100, so no root is needed. Ctrl-C stops the server.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo
scripts/build.sh
top=$(pwd)
run="$top/run"
mkdir -p "$run/Users/demo" "$run/config/Merivolant"
cp build/Tandrivel build/GetMX.sh "$run/"
[ -f "$run/Users.txt" ] || printf 'UserName,Password,MailID\ndemo,demo,demo\n' > "$run/Users.txt"
[ -f "$run/DomainMX.txt" ] || printf 'Domain,MX,Priority\n' > "$run/DomainMX.txt"
conf="$run/config/Merivolant/Tandrivel.conf"
[ -f "$conf" ] || printf '[General]\nDomain=example.test\nPop3=1100\nSMTP=2525\n' > "$conf"
cat <<TXT

Tandrivel serves @example.test. Account: user demo, password demo, mailbox run/Users/demo.

Send a message (another terminal):
  swaks --server 127.0.0.1:2525 --from someone@example.org --to demo@example.test
Fetch it:
  curl -s pop3://127.0.0.1:1100/1 --user demo:demo
List the mailbox:
  curl -s pop3://127.0.0.1:1100/ --user demo:demo

The log follows below (newest events last). Ctrl-C stops the server.

TXT
export XDG_CONFIG_HOME="$run/config"
cd "$run"
exec ./Tandrivel
