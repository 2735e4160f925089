# ARMv5TE, software floating point.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)
set(QUORLAN_TRIPLET arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${QUORLAN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORLAN_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
# The tools' libraries are Debian's armel packages, unpacked into the build
# tree by scripts/setup.sh (which says why they are not installed through
# multiarch like the armhf ones).
include(${CMAKE_CURRENT_LIST_DIR}/debian-target.cmake)
quorlan_debian_target(${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-armel)
set(QUORLAN_TARGET_SUFFIX _armv5 CACHE STRING "" FORCE)
