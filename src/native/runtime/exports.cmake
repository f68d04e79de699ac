# What a module's shared library exports, and from which libraries it takes symbols: the
# one place of the build that depends on the object format and the linker (ELF here, with
# GNU ld or lld).
#
# Code is compiled with hidden visibility (CMAKE_CXX_VISIBILITY_PRESET), and symbols of the
# static libraries linked in stay hidden too (--exclude-libs). The version script then
# keeps the dynamic symbol table to the entry point: without it GNU ld also exports the
# symbols its linker script provides (_edata, _end, __bss_start) whenever a shared library
# linked against defines them, as Debian's libc++, libc++abi and libunwind do.
#
# Only the shared libraries whose symbols the module uses are recorded as needed
# (--as-needed). The compiler driver adds its own: clang with Debian's libc++ adds both
# LLVM's libunwind (which libc++abi throws with) and GCC's libgcc_s. With both in the
# module's search list, libunwind ahead, the unwinder of libgcc_s that a later extension
# built with libstdc++ throws through binds its own calls to libunwind's functions, and
# its first C++ exception crashes the process. With --as-needed libgcc_s is not recorded:
# each unwinder then answers only the libraries that were linked against it.
set(ORVANE_EXPORTS_MAP ${CMAKE_CURRENT_LIST_DIR}/exports.map)

function(orvane_export_entry_point target)
  target_link_options(${target} PRIVATE -Wl,--as-needed -Wl,--exclude-libs,ALL
                      -Wl,--version-script=${ORVANE_EXPORTS_MAP})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ORVANE_EXPORTS_MAP})
endfunction()
