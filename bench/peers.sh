#!/bin/sh
# Installs the Debian packages the benchmark measures beside Tandrivel: Postfix (SMTP) and Dovecot's
# POP3 and IMAP. The benchmark runs private instances of them (bench/peers.py); this neither configures nor
# starts the system's own: Postfix is installed with "No configuration".
# Exits 1 when something is missing and cannot be installed; the benchmark then runs without it.
set -u
need=""
for p in postfix dovecot-core dovecot-pop3d dovecot-imapd; do
    dpkg-query -W -f '${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || need="$need $p"
done
[ -z "$need" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "peers not installed:$need (run bench/peers.sh as root)" >&2
    exit 1
fi
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $need >&2 || {
    echo "could not install:$need" >&2
    exit 1
}
