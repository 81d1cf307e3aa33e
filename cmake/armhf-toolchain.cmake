# Cross build for the camera: 32-bit ARM Linux, little-endian, EABI hard-float (armhf),
# with Debian's cross compiler. The armhf libraries come from one of two places, both
# prepared by scripts/armhf-setup.sh:
#   - a sysroot of unpacked armhf packages (LPR_ARMHF_SYSROOT, default
#     $LPR_ARMHF_HOME/sysroot, marked by its .lpr-sysroot file), used when present;
#   - otherwise the armhf packages installed on the build machine (multiarch).
# LPR_ARMHF_HOME (environment or cache, default /opt/lpr-armhf) also holds bin/qemu-arm.
# Programs built here run under qemu-user: CMAKE_CROSSCOMPILING_EMULATOR is the command
# line that ctest and gtest_discover_tests put in front of every test program. The same
# command, as one string, is in LPR_TARGET_EMULATOR for tests that start other built
# programs themselves (empty in a native build).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LPR_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${LPR_ARMHF_TRIPLE})

set(CMAKE_C_COMPILER ${LPR_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LPR_ARMHF_TRIPLE}-g++)

if(NOT LPR_ARMHF_HOME)
  if(DEFINED ENV{LPR_ARMHF_HOME})
    set(LPR_ARMHF_HOME $ENV{LPR_ARMHF_HOME})
  else()
    set(LPR_ARMHF_HOME /opt/lpr-armhf)
  endif()
endif()
if(NOT LPR_ARMHF_SYSROOT)
  if(DEFINED ENV{LPR_ARMHF_SYSROOT})
    set(LPR_ARMHF_SYSROOT $ENV{LPR_ARMHF_SYSROOT})
  else()
    set(LPR_ARMHF_SYSROOT ${LPR_ARMHF_HOME}/sysroot)
  endif()
endif()
# The toolchain file is read again for every compiler check; these go along.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LPR_ARMHF_HOME LPR_ARMHF_SYSROOT)

# The qemu-arm that scripts/armhf-setup.sh chose: its own copy, else the build machine's.
if(EXISTS ${LPR_ARMHF_HOME}/bin/qemu-arm)
  set(LPR_QEMU_ARM ${LPR_ARMHF_HOME}/bin/qemu-arm)
else()
  find_program(LPR_QEMU_ARM qemu-arm)
endif()
if(NOT LPR_QEMU_ARM)
  message(FATAL_ERROR "qemu-arm not found: run scripts/armhf-setup.sh")
endif()

set(_lpr_multiarch_dir /usr/lib/${LPR_ARMHF_TRIPLE})
if(EXISTS ${LPR_ARMHF_SYSROOT}/.lpr-sysroot)
  set(LPR_ARMHF_METHOD sysroot)
  set(_lpr_root ${LPR_ARMHF_SYSROOT})
  set(CMAKE_SYSROOT ${_lpr_root})
  set(CMAKE_FIND_ROOT_PATH ${_lpr_root})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${_lpr_root})
  set(ENV{PKG_CONFIG_LIBDIR}
      "${_lpr_root}/usr/lib/${LPR_ARMHF_TRIPLE}/pkgconfig:${_lpr_root}/usr/share/pkgconfig")
  # The libraries that the -dev packages' libraries depend on, for the linker.
  set(_lpr_link "-Wl,-rpath-link,${_lpr_root}/lib/${LPR_ARMHF_TRIPLE}")
  string(APPEND _lpr_link " -Wl,-rpath-link,${_lpr_root}/usr/lib/${LPR_ARMHF_TRIPLE}")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "${_lpr_link}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_lpr_link}")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_lpr_link}")
  # The emulator takes the dynamic loader, libc and every library from the sysroot.
  set(_lpr_emulator_root ${_lpr_root})
elseif(EXISTS ${_lpr_multiarch_dir}/pkgconfig/libzmq.pc)
  set(LPR_ARMHF_METHOD multiarch)
  # Headers are the build machine's (/usr/include), libraries its armhf folder.
  set(CMAKE_FIND_ROOT_PATH /usr/${LPR_ARMHF_TRIPLE} /)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
  set(ENV{PKG_CONFIG_LIBDIR} "${_lpr_multiarch_dir}/pkgconfig:/usr/share/pkgconfig")
  # The loader and libc of the cross toolchain; the armhf loader finds the rest in
  # /usr/lib/arm-linux-gnueabihf, which the emulator reads from the build machine.
  set(_lpr_emulator_root /usr/${LPR_ARMHF_TRIPLE})
else()
  message(FATAL_ERROR "No armhf libraries: neither a sysroot in ${LPR_ARMHF_SYSROOT} nor "
                      "multiarch packages in ${_lpr_multiarch_dir}. Run scripts/armhf-setup.sh.")
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${LPR_QEMU_ARM} -L ${_lpr_emulator_root})
string(JOIN " " LPR_TARGET_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
