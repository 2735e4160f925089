# What the ARM toolchain files share: where CMake, pkg-config, the compiler,
# the linker and qemu-user find the target's C library (the cross compiler's,
# in /usr/<triplet>) and the target's Debian packages, which live under root
# ("/" when installed through multiarch, else the folder they were unpacked
# into), in Debian's multiarch layout.
function(quorlan_debian_target root)
  get_filename_component(root "${root}" ABSOLUTE)
  string(REGEX REPLACE "/$" "" prefix "${root}")
  set(libdir ${prefix}/usr/lib/${QUORLAN_TRIPLET})
  set(CMAKE_LIBRARY_ARCHITECTURE ${QUORLAN_TRIPLET} PARENT_SCOPE)
  # Installed (and packaged) in Debian's multiarch layout, which GNUInstallDirs
  # chooses for native builds only.
  set(CMAKE_INSTALL_LIBDIR lib/${QUORLAN_TRIPLET} CACHE PATH "Object code libraries")
  set(CMAKE_FIND_ROOT_PATH /usr/${QUORLAN_TRIPLET} ${root} / PARENT_SCOPE)
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER PARENT_SCOPE)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY PARENT_SCOPE)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY PARENT_SCOPE)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY PARENT_SCOPE)
  # Only the target's .pc files; their paths are taken as under root.
  set(ENV{PKG_CONFIG_LIBDIR} ${libdir}/pkgconfig:${prefix}/usr/share/pkgconfig)
  if(NOT root STREQUAL "/")
    set(ENV{PKG_CONFIG_SYSROOT_DIR} ${root})
  endif()
  # Architecture-specific headers (such as OpenSSL's configuration), after the
  # cross compiler's own; the libraries that the target's libraries need.
  foreach(lang C CXX)
    set(CMAKE_${lang}_FLAGS_INIT "${CMAKE_${lang}_FLAGS_INIT} -idirafter ${prefix}/usr/include/${QUORLAN_TRIPLET}"
        PARENT_SCOPE)
  endforeach()
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}" PARENT_SCOPE)
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${libdir}" PARENT_SCOPE)
  # Programs run on the C library of root, the one the target's packages came
  # with: its loader and its libc.so.6 must be of one build, and the cross
  # compiler's loader (/usr/<triplet>/lib) is older than Debian's updated
  # libc6 for the target.
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${root} PARENT_SCOPE)
endfunction()
