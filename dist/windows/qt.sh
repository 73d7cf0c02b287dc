# Sourced by scripts/windows: builds Qt 6.4.2 for x86_64-w64-mingw32 from Debian's source
# packages, once, into a cache outside the checkout. Host tools (moc, rcc, uic) come from
# Debian's own Qt 6.4.2 (qt6-base-dev-tools).
QZ_QT_VERSION=6.4.2
QZ_QT_CACHE=${QZ_QT_CACHE:-$HOME/.cache/qz7310-mingw-qt}
QZ_QT_PREFIX=$QZ_QT_CACHE/qt-$QZ_QT_VERSION
QZ_QT_SRC=$QZ_QT_CACHE/src
QZ_QT_TOOLCHAIN=$QZ_ROOT/dist/windows/mingw-w64.cmake

# Only what the programs use, plus Qt Test (the core's tests run under Wine) and Qt Network
# (plain TCP lines; no TLS backend, so neither OpenSSL nor Schannel). Qt Sql with its SQLite
# driver only (the collector's store; PostgreSQL would need libpq built for MinGW).
# Debian's qt6-base leaves out src/3rdparty/wintab (tablet input in the Windows plugin),
# iaccessible2 and sqlite: tablet events are off, and SQLite comes from Debian's sqlite3
# source package (qz_sqlite_amalgamation). Everything else third-party is built from the
# copies bundled in the source (MinGW has no system ones).
# OpenGL: FEATURE_opengl=OFF alone leaves dynamic OpenGL on, and the Windows plugin then
# fails to compile (QOpenGLStaticContext); all of its switches are off. Without Direct2D the
# DirectWrite font database is not built into Qt Gui, yet the Windows plugin links it while
# directwrite3 is on: off too (text then goes through the GDI font database, Qt's default).
QZ_QT_FEATURES=(
  -DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=OFF -DFEATURE_sql_psql=OFF
  -DFEATURE_sql_odbc=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
  -DFEATURE_openssl=OFF -DFEATURE_schannel=OFF -DFEATURE_gssapi=OFF -DFEATURE_libproxy=OFF
  -DFEATURE_brotli=OFF
  -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_opengl_dynamic=OFF -DFEATURE_dynamicgl=OFF
  -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF
  -DFEATURE_tabletevent=OFF -DFEATURE_freetype=OFF -DFEATURE_icu=OFF -DFEATURE_zstd=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
  -DFEATURE_system_jpeg=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_doubleconversion=OFF
  -DFEATURE_system_textmarkdownreader=OFF
)
QZ_QT_CMAKE_ARGS=(
  -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
)

# The version of Debian's source package $1 to build: Qt's 6.4.2; sqlite3's newest.
qz_src_version() {
  local want='^Version: 6\.4\.2'
  [ "$1" = sqlite3 ] && want='^Version: '
  apt-cache showsrc "$1" 2>/dev/null | awk -v want="$want" '$0 ~ want {print $2; exit}'
}

# apt-get source needs a deb-src entry for the archive the machine already uses.
qz_deb_src() {
  [ -n "$(qz_src_version qt6-base)" ] && return 0
  local list=/etc/apt/sources.list.d/qz7310-deb-src.sources
  echo "Adding $list: source packages of the Debian archive in use"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    grep -v '^#' /etc/apt/sources.list.d/debian.sources \
      | awk 'BEGIN {RS = ""; ORS = "\n\n"} /Types: deb\n/ && !/debian-security/' \
      | sed 's/^Types: deb$/Types: deb-src/' > "$list"
  fi
  if ! grep -q '^Types: deb-src' "$list" 2>/dev/null; then
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' \
      'Suites: bookworm bookworm-updates' 'Components: main' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$list"
  fi
  apt-get update -qq
}

# Unpacks Debian's source package $1 (qz_src_version) into $QZ_QT_SRC/$1.
qz_qt_source() {
  local pkg=$1 ver
  [ -d "$QZ_QT_SRC/$pkg" ] && return 0
  mkdir -p "$QZ_QT_SRC"
  qz_deb_src
  ver=$(qz_src_version "$pkg")
  if [ -z "$ver" ]; then
    echo "No Debian source package $pkg $QZ_QT_VERSION in the archive in use" >&2
    return 1
  fi
  if ! (cd "$QZ_QT_SRC" && apt-get source --download-only "$pkg=$ver"); then
    echo "Debian's source package $pkg $ver could not be downloaded" >&2
    return 1
  fi
  (cd "$QZ_QT_SRC" && dpkg-source -x "${pkg}_${ver#*:}.dsc" "$pkg")
}

# The stamp holds the configuration: a cache built with other features is built again.
qz_qtbase_stamp() { echo "${QZ_QT_CMAKE_ARGS[@]}" "${QZ_QT_FEATURES[@]}"; }

qz_qtbase() {
  local stamp=$QZ_QT_PREFIX/.qtbase-done
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(qz_qtbase_stamp)" ]; then
    echo "qtbase for MinGW: cached in $QZ_QT_PREFIX"
    return 0
  fi
  qz_qt_source qt6-base || return 1
  qz_sqlite_amalgamation || return 1
  local b=$QZ_QT_CACHE/build-base
  rm -rf "$b" "$QZ_QT_PREFIX"
  mkdir -p "$b"
  echo "Building qtbase $QZ_QT_VERSION for MinGW in $b (log: $b/build.log); half an hour or more on two shared cores"
  # nice: the machine's two cores are shared; time -v: the wall and CPU time are reported.
  if ! /usr/bin/time -v -o "$QZ_QT_CACHE/time-qtbase.txt" bash -c '
      set -e
      src=$1 b=$2 prefix=$3 toolchain=$4; shift 4
      nice -n 19 cmake -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
      nice -n 19 cmake --build "$b" -j2
      nice -n 19 cmake --install "$b"
    ' _ "$QZ_QT_SRC/qt6-base" "$b" "$QZ_QT_PREFIX" "$QZ_QT_TOOLCHAIN" \
      "${QZ_QT_CMAKE_ARGS[@]}" "${QZ_QT_FEATURES[@]}" > "$b/build.log" 2>&1; then
    tail -40 "$b/build.log"
    return 1
  fi
  grep -E 'Elapsed|User time|System time' "$QZ_QT_CACHE/time-qtbase.txt"
  qz_qt_note qt6-base
  qz_qtbase_stamp > "$stamp"
}

# Qt's SQLite driver compiles the single-file form of SQLite (sqlite3.c) from
# src/3rdparty/sqlite; Debian's sqlite3 source makes it with its own configure and make
# (tclsh generates it).
qz_sqlite_amalgamation() {
  local dest=$QZ_QT_SRC/qt6-base/src/3rdparty/sqlite
  [ -f "$dest/sqlite3.c" ] && return 0
  qz_qt_source sqlite3 || return 1
  local b=$QZ_QT_SRC/sqlite-amalgamation
  mkdir -p "$b" "$dest"
  if ! (cd "$b" && "$QZ_QT_SRC/sqlite3/configure" > configure.log 2>&1 && make sqlite3.c > make.log 2>&1); then
    echo "SQLite's sqlite3.c could not be made in $b (see configure.log and make.log there)" >&2
    return 1
  fi
  cp "$b/sqlite3.c" "$b/sqlite3.h" "$b/sqlite3ext.h" "$dest/"
}

# Where the source came from and how it was configured, and Qt's licence texts, kept
# with the build so that the installer can carry them.
qz_qt_note() {
  local pkg=$1 note=$QZ_QT_PREFIX/share/qz7310/QT-SOURCE.txt
  mkdir -p "$(dirname "$note")" "$QZ_QT_PREFIX/share/qz7310/LICENSES"
  # qtbase comes first: a rebuilt one starts the note afresh.
  [ "$pkg" = qt6-base ] && rm -f "$note"
  {
    echo "$pkg $(qz_src_version "$pkg"): Debian source package (apt-get source $pkg)"
    echo "  cmake -S $pkg $(echo "${QZ_QT_CMAKE_ARGS[@]}") \\"
    echo "    -DCMAKE_TOOLCHAIN_FILE=mingw-w64.cmake (x86_64-w64-mingw32-g++-posix) \\"
    if [ "$pkg" = qt6-base ]; then
      echo "    $(echo "${QZ_QT_FEATURES[@]}")"
    else
      echo "    -DCMAKE_PREFIX_PATH=<the qtbase above>"
    fi
  } >> "$note"
  cp "$QZ_QT_SRC/$pkg"/LICENSES/*.txt "$QZ_QT_PREFIX/share/qz7310/LICENSES/" 2>/dev/null || true
  # SQLite is in the public domain; where it came from is said all the same.
  [ "$pkg" = qt6-base ] && echo "sqlite3 $(qz_src_version sqlite3): Debian source package (apt-get source sqlite3), sqlite3.c made by its configure and make, in qt6-base's src/3rdparty/sqlite" >> "$note"
  return 0
}

# Qt Charts (the history viewer's charts), from Debian's qt6-charts source, built on the
# qtbase above and installed into the same prefix. Without OpenGL in qtbase it draws with
# QPainter only; without Qt Quick its QML plugin is not built.
qz_qtcharts() {
  local stamp=$QZ_QT_PREFIX/.qtcharts-done
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(qz_qtbase_stamp)" ]; then
    echo "qtcharts for MinGW: cached in $QZ_QT_PREFIX"
    return 0
  fi
  qz_qt_source qt6-charts || return 1
  local b=$QZ_QT_CACHE/build-charts
  rm -rf "$b"
  mkdir -p "$b"
  echo "Building qtcharts $QZ_QT_VERSION for MinGW in $b (log: $b/build.log)"
  if ! /usr/bin/time -v -o "$QZ_QT_CACHE/time-qtcharts.txt" bash -c '
      set -e
      src=$1 b=$2 prefix=$3 toolchain=$4; shift 4
      nice -n 19 cmake -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
      nice -n 19 cmake --build "$b" -j2
      nice -n 19 cmake --install "$b"
    ' _ "$QZ_QT_SRC/qt6-charts" "$b" "$QZ_QT_PREFIX" "$QZ_QT_TOOLCHAIN" \
      "${QZ_QT_CMAKE_ARGS[@]}" > "$b/build.log" 2>&1; then
    tail -40 "$b/build.log"
    return 1
  fi
  grep -E 'Elapsed|User time|System time' "$QZ_QT_CACHE/time-qtcharts.txt"
  qz_qt_note qt6-charts
  qz_qtbase_stamp > "$stamp"
}

# Without Qt Charts the programs are built all the same, the history viewer left out
# (the top CMakeLists.txt says so); the check then says the viewer was not checked.
qz_mingw_qt() {
  qz_qtbase || return 1
  qz_qtcharts || echo "Qt Charts for MinGW could not be built: the Windows build leaves qz7310-history out" >&2
  return 0
}
