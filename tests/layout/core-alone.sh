#!/bin/sh
# core/ knows no protocol: no reply text, verb or protocol step of SMTP, POP3 or the relay
# in its code (the linker proves the rest: tandrivel_core_alone leaves no symbol undefined).
set -eu
cd "$(dirname "$0")/../.."
pattern='"(220|221|235|250|251|334|354|421|451|452|5[0-9][0-9])[ -]|\+OK|-ERR|\b(EHLO|HELO|RCPT|RETR|DELE|UIDL|STLS|STARTTLS|QUIT)\b|SmtpStep|Pop3Step|RelayStep|SmtpSession|Pop3Session|RelaySession|#include "(pop3|smtp|relay|store|deliver|admin)/'
if grep -nE "$pattern" core/*.cpp core/*.h; then
    echo "core/ holds protocol text (above)"
    exit 1
fi
echo "core/: no protocol text in $(ls core/*.cpp core/*.h | wc -l) files"
