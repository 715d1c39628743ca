# The Windows x64 kernel image: the driver and the Windows platform
# shims, cross-compiled against the mingw-w64 kernel headers and linked as a
# native-subsystem image that imports only the kernel, HAL, USBD and WMILIB.
# Included from the top CMakeLists.txt when the toolchain targets Windows.

set(T7315_SYS_NAME t7315ser)

file(GLOB_RECURSE sys_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/driver/*.cpp)
file(GLOB platform_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/windows/*.cpp)
list(APPEND sys_sources ${platform_sources})

add_executable(${T7315_SYS_NAME} ${sys_sources})
set_target_properties(${T7315_SYS_NAME} PROPERTIES SUFFIX .sys)
target_include_directories(${T7315_SYS_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
# The kernel headers include each other by bare name from the ddk folder.
target_include_directories(${T7315_SYS_NAME} SYSTEM PRIVATE ${CMAKE_FIND_ROOT_PATH}/include/ddk)
target_compile_definitions(${T7315_SYS_NAME} PRIVATE _AMD64_)
# Kernel code: no exceptions, no RTTI, and no guard calls around function
# statics (there is no C++ runtime to provide them). Always optimised:
# ntstrsafe.h's routines are inline-only and are never emitted at -O0.
target_compile_options(${T7315_SYS_NAME} PRIVATE
  -O2 -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)

# -nostdlib keeps the C and C++ runtimes out, so a driver file that uses
# operator new or any other runtime routine fails here, at link time.
# libgcc brings only compiler helpers (stack probes). No symbol is exported.
target_link_options(${T7315_SYS_NAME} PRIVATE
  -shared -nostdlib -nostartfiles
  -Wl,--subsystem,native -Wl,--entry,DriverEntry
  -Wl,--exclude-all-symbols)
# CMake's default Windows libraries (kernel32, user32, ...) are user mode.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
target_link_libraries(${T7315_SYS_NAME} PRIVATE ntoskrnl hal usbd wmilib gcc)

# The package a Windows user installs: the image beside its INF (configured
# with the USB ids in the top CMakeLists.txt).
add_custom_command(TARGET ${T7315_SYS_NAME} POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${T7315_SYS_NAME}> ${CMAKE_BINARY_DIR}/package/)
