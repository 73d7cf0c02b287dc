# Sourced by scripts/run and scripts/test: installs the Debian packages the build,
# the program and the tests need, but only those that are missing.
QZ_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev
  fonts-liberation fonts-dejavu-core fonts-ipafont-gothic
  libbenchmark-dev clang libclang-rt-14-dev
  xvfb xauth xdotool socat python3 procps openbox
)

qz_install_missing() {
  local missing=() p
  for p in "${QZ_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

qz_build() {
  local dir=$1; shift
  cmake -S "$QZ_ROOT" -B "$QZ_ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$QZ_ROOT/$dir" -j"$(nproc)"
}
