#!/bin/sh
# Mail-exchanger lookup for Tandrivel.
# Usage: GetMX.sh <domain> <pipe>
# Writes one line per MX record into the pipe, in the form
#   <domain>  MX preference = <n>, ttl = <seconds>, mail exchanger = <host> CR LF
# (without "ttl = <seconds>, " when the tool does not say it)
# ("." for a null MX, RFC 7505), a line "<domain>  NXDOMAIN" CR LF when the name does not
# exist, and nothing when DNS knows no mail exchanger or gives no answer. The pipe is always
# opened and closed, so the server never waits for nothing. It is opened for reading and
# writing, which never blocks: a script whose server has gone away does not wait for a
# reader for ever.
domain=$1
pipe=$2
[ -n "$pipe" ] || { echo "usage: $0 domain pipe" >&2; exit 2; }

# "pref host [ttl]" lines, or "NXDOMAIN" when the name does not exist.
records() {
    case "$domain" in
        ''|-*|*[!A-Za-z0-9._-]*) return 0 ;;   # not a host name: nothing to ask
    esac
    if command -v dig >/dev/null 2>&1; then
        dig +time=3 +tries=2 +noall +comments +answer -t MX -q "$domain" 2>/dev/null |
            sed -n -e 's/.*status: NXDOMAIN.*/NXDOMAIN/p' \
                -e 's/^[^;][^ 	]*[ 	]\{1,\}\([0-9]\{1,\}\)[ 	].*[ 	]MX[ 	]\{1,\}\([0-9]\{1,\}\)[ 	]\{1,\}\([^ 	]*\)$/\2 \3 \1/p'
    elif command -v host >/dev/null 2>&1; then
        host -W 3 -t MX -- "$domain" 2>/dev/null |
            sed -n -e 's/.*NXDOMAIN.*/NXDOMAIN/p' -e 's/.* is handled by \([0-9]*\) \(.*\)/\1 \2/p'
    fi
}

records | while read -r pref host ttl rest; do
    if [ "$pref" = NXDOMAIN ]; then
        printf '%s\tNXDOMAIN\r\n' "$domain"
        continue
    fi
    case "$pref" in ''|*[!0-9]*) continue ;; esac
    [ -n "$host" ] || continue
    [ "$host" = . ] || host=${host%.}
    case "$ttl" in ''|*[!0-9]*) ttl= ;; *) ttl="ttl = $ttl, " ;; esac
    printf '%s\tMX preference = %s, %smail exchanger = %s\r\n' "$domain" "$pref" "$ttl" "$host"
done 1<> "$pipe"
