# The Debian packages each command needs, and how they are installed;
# sourced by scripts/test, scripts/demo and scripts/bench. No list holds an
# i386 package: the 32-bit Wine is installed apart (install_wine32).

# Building the x86_64 program (its test configuration makes key pairs with
# openssl) and running it under Wine on an Xvfb display in a network namespace
# (fonts-wine: the Marlett font of the windows' caption buttons).
build_packages=(
  cmake make python3 g++-mingw-w64-x86-64-posix googletest openssl
  wine64 fonts-wine xvfb imagemagick iproute2 locales
)
# The update server: publishing (with xdelta3 for patches, xz for compressed
# forms) and nginx + PHP-FPM.
server_packages=(php-cli php-fpm nginx xdelta3 xz-utils)
demo_packages=("${build_packages[@]}" "${server_packages[@]}")
# publish push (python3-boto3) and the store and edge it is tried against:
# Swift with s3api (tempauth's tokens in memcached) behind Varnish.
edge_packages=(python3-boto3 swift-proxy swift-account swift-container swift-object memcached varnish)
# curl is the downloads' ceiling, wrk the server's load; osslsigncode signs
# the stand-in programs (the tests' too), and checks them where publishing
# has publisher pins.
bench_packages=("${demo_packages[@]}" "${edge_packages[@]}" curl wrk osslsigncode)
# The tests run the benchmark's short forms too; chromium draws the census
# page; apache2 serves the manual's Apache site; clang's libFuzzer, ASan and
# UBSan run the decoders natively.
test_packages=("${bench_packages[@]}" g++-mingw-w64-i686-posix phpunit faketime squid chromium apache2
  clang-14 libclang-rt-14-dev)

package_lists_updated=

package_installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = 'install ok installed' ]
}

# apt's first error line, or its last line when it printed none.
apt_reason() {
  grep -m1 '^E: ' <<<"$1" || tail -n1 <<<"$1"
}

# A mirror in mid-sync fails one index (apt-get update exits 100) while the
# others arrive: a few tries a short pause apart, then apt-get install
# decides whether what is needed can still be had. Once per command.
update_package_lists() {
  [ -z "$package_lists_updated" ] || return 0
  package_lists_updated=yes
  local try output
  echo "Updating the package lists"
  for try in 1 2 3; do
    output=$(apt-get update -q 2>&1) && return 0
    echo "apt-get update failed (try $try of 3): $(apt_reason "$output")" >&2
    [ "$try" = 3 ] || sleep 5
  done
  echo "Going on with the package lists as they are" >&2
}

# Installs one package, keeping apt's output aside; when it cannot,
# install_failure names the package and apt's reason in one line.
install_package() {
  local output
  echo "Installing $1"
  output=$(DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$1" 2>&1) && return 0
  install_failure="cannot install $1: $(apt_reason "$output")"
  return 1
}

# Installs those of the given packages that are missing, all in one go;
# when that fails, one by one, to stop at the first that cannot be
# installed with one line saying why.
install_packages() {
  local missing=() package
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    update_package_lists
    echo "Installing ${missing[*]}"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null 2>&1; then
      for package in "${missing[@]}"; do
        install_package "$package" || { echo "$install_failure" >&2; return 1; }
      done
    fi
  fi
  make_polish_locale
}

# The 32-bit Wine loader for the i686 build's tests. It changes Wine itself,
# so it goes in before any Wine prefix is made (tests/tools/prepare_prefix
# remakes older ones); it comes before the command's other packages, so that
# their one update of the lists fetches i386's too. When it cannot be
# installed it returns non-zero and install_failure says why.
install_wine32() {
  package_installed wine32:i386 && return 0
  dpkg --print-foreign-architectures | grep -x i386 >/dev/null || dpkg --add-architecture i386
  update_package_lists
  install_package wine32:i386
}

# scripts/test's packages, wine32 first. Without a wine32 that runs, the
# i686 tests cannot run: skipped_32bit says why, or with --require-32bit
# ($1) that stops here.
install_test_packages() {
  skipped_32bit=
  if ! install_wine32; then
    skip_32bit_tests "${1:-}" || return 1
  fi
  install_packages "${test_packages[@]}"
  if [ -z "$skipped_32bit" ] && ! wine32_runs; then
    remove_wine32
    skip_32bit_tests "${1:-}" || return 1
  fi
}

# Records why the i686 tests will not run, or with --require-32bit ($1)
# says it and fails.
skip_32bit_tests() {
  if [ "$1" = --require-32bit ]; then
    echo "$install_failure" >&2
    return 1
  fi
  skipped_32bit=$install_failure
  echo "The 32-bit tests will not run: $skipped_32bit" >&2
}

# Where the kernel runs no 32-bit programs, the 32-bit loader fails to start
# ("Exec format error"), and Debian's wine, which prefers it, then starts
# nothing, 64-bit programs included.
wine32_runs() {
  local output
  output=$(WINEDEBUG=-all wine --version 2>&1) && return 0
  install_failure="wine32:i386 is installed but its loader cannot run here: $(tail -n1 <<<"$output")"
  return 1
}

remove_wine32() {
  echo "Removing wine32:i386 again: with it, Debian's wine starts no program here" >&2
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -q wine32:i386 >/dev/null
}

# Wine names host files in the host locale's character set: without a
# pl_PL.UTF-8 locale it cannot create a file whose name has Polish letters.
make_polish_locale() {
  locale -a | grep -x 'pl_PL.utf8' >/dev/null && return
  sed -i 's/^# *pl_PL.UTF-8 UTF-8/pl_PL.UTF-8 UTF-8/' /etc/locale.gen
  grep -qx 'pl_PL.UTF-8 UTF-8' /etc/locale.gen || echo 'pl_PL.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen
}
