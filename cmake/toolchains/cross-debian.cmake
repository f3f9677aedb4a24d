# Shared part of the Debian multiarch cross toolchains: the target's
# libraries live in /usr/lib/<triplet> beside the host's, its headers in
# /usr/include/<triplet>, so there is no separate sysroot. Include this after
# setting VORLANT_TRIPLET, CMAKE_SYSTEM_PROCESSOR and VORLANT_QEMU (the
# wrapper script beside this file).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VORLANT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VORLANT_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VORLANT_TRIPLET})

# pkg-config would otherwise hand FindOpenSSL the host's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VORLANT_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests and the test discovery run the target's programs through qemu-user
# (see the wrapper for why it is one).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/${VORLANT_QEMU})
