# The Windows DLL as host programs expect it: zipfolder.dll with the single
# export CompFilesToZipFile under its plain name, depending on system DLLs
# only, so it can be dropped next to any program. Included by the root
# CMakeLists.txt after the zipfolder target is defined.
if(NOT MINGW)
  message(FATAL_ERROR "The Windows build is made with MinGW-w64 (cmake/mingw-*.cmake)")
endif()

set_target_properties(zipfolder PROPERTIES PREFIX "" OUTPUT_NAME zipfolder IMPORT_PREFIX "")

# The .def file is the export table: it keeps the name free of any i686
# decoration and keeps anything that a static runtime library marks for
# export out of the table.
target_sources(zipfolder PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src/entry/exports.def)

# The compiler's own runtime (libgcc, libstdc++, winpthread) goes inside the
# binaries; a host program's folder has no copy of it. add_link_options
# reaches the targets defined after this file, the command-line tool among
# them.
set(ZIPFOLDER_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
target_link_options(zipfolder PRIVATE ${ZIPFOLDER_STATIC_RUNTIME} -Wl,--no-undefined)
add_link_options(${ZIPFOLDER_STATIC_RUNTIME})
