# Sourced by the scripts: the environment that every program of a build tree runs in.
# VX_BUILD selects the build tree (default build/win64 under the repository).
VX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VX_BUILD=${VX_BUILD:-$VX_ROOT/build/win64}
case "$VX_BUILD" in /*) ;; *) VX_BUILD=$VX_ROOT/$VX_BUILD ;; esac
export VX_ROOT VX_BUILD
export WINEPREFIX=$VX_BUILD/prefix
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono/Gecko installer prompts while a prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Code page 932 comes from the locale; without ja_JP.UTF-8 Wine mangles
# non-ASCII arguments and file names.
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
