# Sourced by the release and board builds: Debian's hardening flags (-z now,
# fortify, the stack protector...) as a Debian build gets them, for the
# architecture in DEB_HOST_ARCH when it is set, as CMake arguments in the
# array `flags`; none where dpkg-dev is missing.
flags=()
if command -v dpkg-buildflags >/dev/null; then
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  flags=(-DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)")
fi
