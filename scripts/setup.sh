#!/usr/bin/env bash
# Installs the Debian packages Postwarden needs (only those missing), builds it,
# and runs the main job.
#   scripts/setup.sh             install, build, run the main job
#   scripts/setup.sh --deps-only install what is missing, nothing else
#   scripts/setup.sh --build     install and build, no main job
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev
          libsqlite3-dev libgmime-3.0-dev qt6-base-dev libicu-dev clang libclang-rt-14-dev
          clang-format git
          # the Debian package (scripts/package.sh: dpkg-shlibdeps names its dependencies),
          # Debian's check of it (lintian) and the manual page's check (man --warnings); the
          # milter's service and user are checked with systemd's own tools
          dpkg-dev lintian man-db systemd
          # central settings from servers (platform/net/); their tests run a real Dovecot and
          # make their certificates with openssl (tests/servers/)
          libcurl4-openssl-dev dovecot-imapd openssl
          # the Thunderbird add-on's host parses its requests as JSON
          nlohmann-json3-dev
          # every command's options and --help
          libcli11-dev
          # the headers of OpenSSL's CMS functions, which open S/MIME signed messages; libcrypto
          # itself is loaded only when such a message is read (platform/mailstore/CmsContent.cpp)
          libssl-dev
          # the add-on's tests: Node's test runner, and a real Thunderbird under Xvfb with an
          # SMTP sink, driven and photographed with xdotool and ImageMagick (tests/thunderbird/)
          nodejs thunderbird xvfb python3-aiosmtpd xdotool imagemagick
          # the real mail clients the tests drive in tmux (tests/clients/), and their harness's
          # Python; git send-email needs the two Perl modules, which are only recommended;
          # Claws Mail runs under Xvfb
          python3 tmux mutt neomutt aerc git-email libmailtools-perl libemail-valid-perl
          s-nail claws-mail
          # the mail server's filter (host/milter/): libmilter, and libpq for approvals shared
          # by several servers; its tests run a real Postfix and a PostgreSQL cluster of their
          # own on loopback (tests/milter/)
          libmilter-dev libpq-dev postfix postgresql
          # and behind Sendmail, whose configuration is made with m4 (see sendmail_for_tests)
          m4)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    # Postfix is for the tests, which start instances of their own: the system's
    # stays unconfigured (no main.cf), so nothing of it runs or listens.
    if printf '%s\n' "${missing[@]}" | grep -qx postfix; then
        echo "postfix postfix/main_mailer_type select No configuration" |
            "${sudo[@]}" debconf-set-selections
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

# Debian's Sendmail for the milter's tests, unpacked into /opt/postwarden-tests:
# installing it would remove Postfix, as Debian lets one mail server be installed
# at a time. The tests run it from there with a configuration of their own.
SENDMAIL_ROOT=/opt/postwarden-tests/sendmail
sendmail_for_tests() {
    [ -x "$SENDMAIL_ROOT/usr/libexec/sendmail/sendmail" ] && return 0
    echo "Unpacking Sendmail for the tests into $SENDMAIL_ROOT"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    local debs
    debs="$(mktemp -d)"
    if ! (cd "$debs" && apt-get download -qq sendmail-bin sendmail-cf 2>/dev/null); then
        "${sudo[@]}" apt-get update -qq
        (cd "$debs" && apt-get download -qq sendmail-bin sendmail-cf)
    fi
    "${sudo[@]}" mkdir -p "$SENDMAIL_ROOT.new"
    for deb in "$debs"/*.deb; do
        "${sudo[@]}" dpkg-deb -x "$deb" "$SENDMAIL_ROOT.new"
    done
    "${sudo[@]}" rm -rf "$SENDMAIL_ROOT"
    "${sudo[@]}" mv "$SENDMAIL_ROOT.new" "$SENDMAIL_ROOT"
    rm -rf "$debs"
}

# ccache, where it is installed, spares rebuilding what another build folder
# already compiled.
launcher() {
    if command -v ccache >/dev/null; then
        echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache
    fi
}

build() {
    # shellcheck disable=SC2046
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(launcher) >/dev/null
    cmake --build build -j"$(nproc)"
}

# One send of the bundled sample message through the check, in a temporary
# home: a real prompt where a display or a terminal can show one, scripted
# answers otherwise. Then that send's line, and the whole log of it.
main_job() {
    local answers=()
    demo_home="$(mktemp -d)"
    trap 'rm -rf "$demo_home"' EXIT
    local home="$demo_home"
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && ! { [ -t 0 ] && (: </dev/tty) 2>/dev/null; }; then
        answers=(--answers yes)
        echo "No display or terminal for a prompt: answering yes."
    fi
    ./build/postwarden --version
    local status=0
    ./build/postwarden --home "$home" check "${answers[@]}" samples/hello.eml || status=$?
    echo "check exit status: $status (0 = send may go ahead, 1 = cancelled)"
    echo "--- the send (postwarden log --sends) ---"
    ./build/postwarden --home "$home" log --sends
    echo "--- every step of it (postwarden log; the file is $home/postwarden.log) ---"
    ./build/postwarden --home "$home" log
}

install_missing
sendmail_for_tests
case "${1:-}" in
    --deps-only) exit 0 ;;
    --build) build ;;
    *) build; main_job ;;
esac
