# The Debian packages the build, the tests, the demo and the benchmark need;
# sourced by scripts/test, scripts/demo and scripts/bench.
required_packages=(
  cmake make python3
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64 xvfb xdotool imagemagick iproute2 googletest
  php-cli php-fpm phpunit nginx openssl curl wrk squid
)

install_missing_packages() {
  local missing=() package
  for package in "${required_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
  fi
}
