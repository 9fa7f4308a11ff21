# Sourced by test.sh, demo.sh and benchmark.sh: configures the build trees
# for the local download server and sets
#   build       the tree of the shipped i686 launcher
#   wine_build  the tree whose programs Wine runs on this host
#   trees       both, or the one tree they share
# The shipped launcher is 32-bit. Where the kernel runs no 32-bit programs,
# its image is still built and checked in $build, and everything that runs
# under Wine is built for x86_64 in a tree of its own.
build=${BUILD_DIR:-build/test}
configure() { cmake -S . -B "$1" -DDOWNLOAD_HOST=127.0.0.1:28613 "${@:2}" >/dev/null; }
if [ "$(scripts/winerun --arch)" = i686 ]; then
  wine_build=$build
  trees=("$build")
  configure "$build" -DLAUNCHER_ARCH=i686 -DWINE_TESTS=ON
else
  echo "note: this kernel runs no 32-bit programs; what runs under Wine is built for x86_64"
  wine_build=$build-x86_64
  trees=("$build" "$wine_build")
  configure "$build" -DLAUNCHER_ARCH=i686 -DWINE_TESTS=OFF
  configure "$wine_build" -DLAUNCHER_ARCH=x86_64 -DWINE_TESTS=ON
fi
