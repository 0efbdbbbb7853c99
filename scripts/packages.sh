# The Debian packages the build, the tests, the demo and the benchmark need;
# sourced by scripts/test, scripts/demo and scripts/bench.
required_packages=(
  cmake make python3
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64 wine32:i386 xvfb xdotool imagemagick iproute2 googletest
  php-cli php-fpm phpunit nginx openssl curl wrk locales faketime squid xdelta3
)

# wine32 (the 32-bit loader, for the i686 build's tests) comes from the
# i386 architecture. Installing it changes Wine itself: it goes in before
# any Wine prefix is made (tests/tools/prepare_prefix remakes older ones).
install_missing_packages() {
  local missing=() package
  for package in "${required_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
  fi
  make_polish_locale
}

# Wine names host files in the host locale's character set: without a
# pl_PL.UTF-8 locale it cannot create a file whose name has Polish letters.
make_polish_locale() {
  locale -a | grep -qx 'pl_PL.utf8' && return
  sed -i 's/^# *pl_PL.UTF-8 UTF-8/pl_PL.UTF-8 UTF-8/' /etc/locale.gen
  grep -qx 'pl_PL.UTF-8 UTF-8' /etc/locale.gen || echo 'pl_PL.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen
}
