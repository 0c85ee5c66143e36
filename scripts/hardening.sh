# Sourced by the release and board builds: Debian's hardening flags (-z now,
# fortify, the stack protector...) and its -O2 as a Debian build gets them,
# for the architecture in DEB_HOST_ARCH when it is set, as CMake arguments in
# the array `flags`; none where dpkg-dev is missing. Without -g: the packages
# are stripped, so debug information would be compiled only to be thrown
# away, a third of these builds' time.
flags=()
if command -v dpkg-buildflags >/dev/null; then
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  no_debug() { sed -e 's/\(^\| \)-g\( \|$\)/ /g' <<<"$*"; }
  flags=(-DCMAKE_CXX_FLAGS="$(no_debug "$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)")"
    -DCMAKE_C_FLAGS="$(no_debug "$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)")"
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
    # Debian's own optimisation, not CMake's Release -O3 after it
    -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG)
fi
