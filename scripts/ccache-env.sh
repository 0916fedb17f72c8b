# Sourced by the build scripts. Clones in different folders share compiled
# objects: paths inside the project are hashed relative to it, and the build
# folder's own path is left out (only debug information records it).
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
export CCACHE_NOHASHDIR=1
