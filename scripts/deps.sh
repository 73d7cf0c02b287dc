# Sourced by the scripts: the Debian packages each kind of work needs, and installing
# only those that are missing.

# Building the program and the simulator and running them (scripts/run).
QZ_RUN_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev
  fonts-liberation fonts-dejavu-core fonts-ipafont-gothic qt6-translations-l10n
  libqt6sql6-sqlite
  # The history viewer: Qt Charts (whose CMake package needs Qt OpenGL's, which
  # Debian's qt6-charts-dev does not pull in), lrelease for its Japanese texts.
  qt6-charts-dev libqt6opengl6-dev qt6-l10n-tools libqt6charts6
)
# What the tests, benchmarks and fuzz targets add (scripts/test, bench, fuzz). The store's
# tests and benchmark start a PostgreSQL server of their own with pg_virtualenv
# (postgresql-common), which needs only the server (postgresql) besides: pwgen is
# optional, and the server brings its locales.
QZ_TEST_PACKAGES=(
  libbenchmark-dev clang libclang-rt-14-dev
  xvfb xauth xdotool socat python3 procps openbox
  desktop-file-utils appstream man-db ser2net systemd
  libqt6sql6-psql postgresql postgresql-common
)
# What making and checking the Debian package adds (scripts/package).
QZ_PACKAGE_PACKAGES=(dpkg-dev file lintian)

QZ_PACKAGES=("${QZ_RUN_PACKAGES[@]}" "${QZ_TEST_PACKAGES[@]}")

# qz_install_missing [package...]: the named packages, or without names QZ_PACKAGES.
qz_install_missing() {
  local wanted=("$@") missing=() p
  [ ${#wanted[@]} -eq 0 ] && wanted=("${QZ_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# qz_build <dir> [cmake option...] [-- target...]: configures <dir> and builds the
# named targets there, or every target.
qz_build() {
  local dir=$1 options=() targets=()
  shift
  while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then
      shift
      targets=("$@")
      break
    fi
    options+=("$1")
    shift
  done
  cmake -S "$QZ_ROOT" -B "$QZ_ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
  cmake --build "$QZ_ROOT/$dir" -j"$(nproc)" ${targets[@]:+--target "${targets[@]}"}
}
