#!/bin/sh
# Installs Tandrivel as the systemd service tandrivel.service: a system user "tandrivel",
# the program folder /var/lib/tandrivel (executable, GetMX.sh, tables, settings, mail
# store) and the unit. Run as root after scripts/build.sh:
#   dist/install-service.sh <mail domain> [build folder]
# Running it again updates the executable and the unit; tables, mail and settings stay.
set -eu
cd "$(dirname "$0")/.."
domain=${1:?usage: dist/install-service.sh <mail domain> [build folder]}
build=${2:-build}
home=/var/lib/tandrivel
[ "$(id -u)" -eq 0 ] || { echo "run as root" >&2; exit 1; }
[ -x "$build/Tandrivel" ] || { echo "no $build/Tandrivel: run scripts/build.sh first" >&2; exit 1; }

getent group tandrivel >/dev/null || groupadd --system tandrivel
getent passwd tandrivel >/dev/null || useradd --system --gid tandrivel --home-dir "$home" --no-create-home \
    --shell /usr/sbin/nologin tandrivel

# The service user owns the folder (tables are rewritten by rename, messages created);
# the programs in it belong to root.
install -d -o tandrivel -g tandrivel -m 0750 "$home" "$home/Users" "$home/config" "$home/config/Merivolant"
install -o root -g root -m 0755 "$build/Tandrivel" "$home/Tandrivel"
install -o root -g root -m 0755 relay/GetMX.sh "$home/GetMX.sh"
seed() {   # file, content: only when the file is not there yet
    [ -e "$1" ] && return 0
    printf '%s' "$2" > "$1"
    chown tandrivel:tandrivel "$1"
    chmod 0600 "$1"
}
seed "$home/Users.txt" 'UserName,Password,MailID
'
seed "$home/DomainMX.txt" 'Domain,MX,Priority
'
seed "$home/config/Merivolant/Tandrivel.conf" "[General]
Domain=$domain
Pop3=110
SMTP=25
"
install -o root -g root -m 0644 dist/tandrivel.service /etc/systemd/system/tandrivel.service

if [ -d /run/systemd/system ]; then
    systemctl daemon-reload
    systemctl enable tandrivel.service
    systemctl restart tandrivel.service
    echo "tandrivel.service is running; follow its log with: journalctl -u tandrivel -f"
else
    echo "Installed. systemd is not running here; start it with: systemctl enable --now tandrivel"
fi
