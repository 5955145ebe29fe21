#!/bin/sh
# Installs the Debian packages Tandrivel needs to build, run and test.
# Usage: scripts/install-deps.sh [build|test|demo|screenshots]   (default: test)
set -eu
what=${1:-test}
build="g++ cmake make pkg-config qt6-base-dev libsqlite3-dev libssl-dev libpsl-dev zlib1g-dev"
run="fonts-noto-cjk dnsutils publicsuffix libpsl5"
test="python3 python3-aiosmtpd python3-dkim python3-milter rspamd clamav-daemon clamav-milter python3-spf python3-dnspython python3-yaml python3-authres swaks libnet-ssleay-perl openssl curl procps postfix fetchmail getmail6 msmtp mutt isync offlineimap3 netcat-openbsd dnsmasq-base dovecot-core unbound pebble ldnsutils opendkim opendkim-tools strace iproute2 libsasl2-modules util-linux mount libxml2-utils python3-jsonschema"
# libsasl2-modules: mbsync logs in with SASL PLAIN, which only that package carries (libsasl2-2 merely
# recommends it, and recommendations are not installed here).
case "$what" in
    build) pkgs="$build" ;;
    demo)  pkgs="$build $run swaks curl python3" ;;
    test)  pkgs="$build $run $test" ;;
    screenshots) pkgs="$build $run python3 xvfb xdotool imagemagick" ;;
    *) echo "usage: $0 [build|test|demo|screenshots]" >&2; exit 2 ;;
esac
# The SPF unit test reads the RFC 7208 suite python3-spf ships among its documents; images that
# leave /usr/share/doc out on install get that one file from the package itself.
suite() {
    f=/usr/share/doc/python3-spf/rfc7208-tests.yml.gz
    [ "$what" = test ] && [ ! -e "$f" ] || return 0
    d=$(mktemp -d)
    (cd "$d" && apt-get download -qq -o APT::Sandbox::User=root python3-spf && dpkg-deb --fsys-tarfile python3-spf_*.deb | $SUDO tar -x -C / ".$f")
    rm -rf "$d"
}
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
[ -z "$missing" ] && { suite; exit 0; }
echo "Installing:$missing"
$SUDO apt-get update -qq
# Postfix only as a peer the tests start with their own configuration: no questions, no system
# instance listening on port 25.
case "$missing" in *" postfix"*)
    echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections ;;
esac
# The peers (unbound, Dovecot, opendkim, rspamd, clamd) are started by the tests with configurations of their
# own: the packages must not start system instances of them (a DNS server on 127.0.0.1 among
# them). Debian's invoke-rc.d asks /usr/sbin/policy-rc.d; one is put there for the install only.
policy=""
if [ "$what" = test ] && [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    trap '$SUDO rm -f "$policy"' EXIT
fi
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
suite
