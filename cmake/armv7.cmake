# ARMv7-A, Thumb-2, VFPv3, hard float.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)
set(QUORLAN_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QUORLAN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORLAN_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mthumb -mfpu=vfpv3 -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mthumb -mfpu=vfpv3 -mfloat-abi=hard")
# The tools' libraries are Debian's armhf packages, installed through
# multiarch (scripts/setup.sh): libraries, CMake and pkg-config files in
# /usr/lib/arm-linux-gnueabihf, headers in /usr/include.
include(${CMAKE_CURRENT_LIST_DIR}/debian-target.cmake)
quorlan_debian_target(/)
set(QUORLAN_TARGET_SUFFIX _armv7 CACHE STRING "" FORCE)
