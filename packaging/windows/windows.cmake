# The window as a Windows program: a GUI executable with its icon and version, and beside it what it needs
# at run time (no windeployqt in a cross-build, so the list is ours): Qt's DLLs, the windows platform and
# vista style plugins, the MinGW runtime, Qt's Chinese texts and a qt.conf that points Qt at them. The
# build folder is laid out as the installed one, so the tests run velkor.exe where it was built.
# Then the installer, velkor-<version>-setup.exe (target "installer", NSIS).

set(VELKOR_ICO ${CMAKE_BINARY_DIR}/velkor.ico)
add_custom_command(OUTPUT ${VELKOR_ICO}
                   COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                           ${VELKOR_HOST_ICONPACK} --ico ${VELKOR_ICO} 16,24,32,48,256
                           ${PROJECT_SOURCE_DIR}/resources/icons/127.svg
                   DEPENDS ${VELKOR_HOST_ICONPACK} ${PROJECT_SOURCE_DIR}/resources/icons/127.svg
                   COMMENT "Drawing the program's icon" VERBATIM)
configure_file(${CMAKE_CURRENT_LIST_DIR}/velkor.rc.in ${CMAKE_BINARY_DIR}/velkor.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/velkor.rc PROPERTIES OBJECT_DEPENDS ${VELKOR_ICO})
target_sources(velkor PRIVATE ${CMAKE_BINARY_DIR}/velkor.rc)
set_target_properties(velkor PROPERTIES WIN32_EXECUTABLE ON)

# The runtime: each "SOURCE>DEST", DEST relative to the program's folder.
function(velkor_runtime_dll out name)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name} OUTPUT_VARIABLE path
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "the compiler knows no ${name}")
    endif()
    set(${out} "${path}>${name}" PARENT_SCOPE)
endfunction()
velkor_runtime_dll(libstdcxx libstdc++-6.dll)
velkor_runtime_dll(libgcc libgcc_s_seh-1.dll)
velkor_runtime_dll(winpthread libwinpthread-1.dll)
set(runtime ${libstdcxx} ${libgcc} ${winpthread})
foreach(library Core Gui Widgets)
    list(APPEND runtime "$<TARGET_FILE:Qt6::${library}>>Qt6${library}.dll")
endforeach()
list(APPEND runtime
     "$<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>>plugins/platforms/qwindows.dll"
     "$<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>>plugins/styles/qwindowsvistastyle.dll"
     "/usr/share/qt6/translations/qtbase_zh_CN.qm>translations/qtbase_zh_CN.qm"
     "${CMAKE_CURRENT_LIST_DIR}/qt.conf>qt.conf")
# The window's tests need Qt's test library too; the installer does not ship it.
set(test_runtime "$<TARGET_FILE:Qt6::Test>>Qt6Test.dll")
# Licences: the program's, Qt's (LGPL 3, which builds on the GPL 3) and its bundled libraries' as Debian
# lists them, and the MinGW runtime's.
set(qt_licences ${VELKOR_WINDOWS_QT}/licences)
set(licences
    "${PROJECT_SOURCE_DIR}/packaging/copyright>licences/velkor.txt"
    "${qt_licences}/LGPL-3.0-only.txt>licences/qt-LGPL-3.0-only.txt"
    "${qt_licences}/GPL-3.0-only.txt>licences/qt-GPL-3.0-only.txt"
    "${qt_licences}/copyright>licences/qt6-base-copyright.txt"
    "/usr/share/doc/gcc-mingw-w64-base/copyright>licences/gcc-runtime-copyright.txt"
    "/usr/share/doc/mingw-w64-common/copyright>licences/mingw-w64-copyright.txt")
add_custom_target(velkor_windows_runtime ALL
                  COMMAND ${CMAKE_COMMAND} -DSTRIP=${CMAKE_STRIP} -DOUT=${CMAKE_BINARY_DIR}
                          "-DFILES=${runtime};${test_runtime};${licences}" -P ${CMAKE_CURRENT_LIST_DIR}/deploy.cmake
                  COMMENT "Placing Qt and the MinGW runtime beside velkor.exe" VERBATIM)
add_dependencies(velkor velkor_windows_runtime)

# The installer: what is installed, staged by cmake --install, then packed by makensis.
install(TARGETS velkor RUNTIME DESTINATION . COMPONENT windows)
foreach(pair IN LISTS runtime licences)
    string(REGEX REPLACE "^.*>" "" dest "${pair}")
    get_filename_component(folder ${dest} DIRECTORY)
    install(FILES ${CMAKE_BINARY_DIR}/${dest} DESTINATION ./${folder} COMPONENT windows)
endforeach()
find_program(MAKENSIS makensis REQUIRED)
set(stage ${CMAKE_BINARY_DIR}/installer-stage)
set(setup ${CMAKE_BINARY_DIR}/velkor-${PROJECT_VERSION}-setup.exe)
add_custom_target(installer
                  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
                  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${stage} --component windows --strip
                  COMMAND ${CMAKE_COMMAND} -DSTAGE=${stage} -DOUT=${CMAKE_BINARY_DIR}/installer-files.nsh
                          -P ${CMAKE_CURRENT_LIST_DIR}/nsis-files.cmake
                          COMMAND ${MAKENSIS} -V2 -INPUTCHARSET UTF8 -DVERSION=${PROJECT_VERSION} -DSTAGE=${stage}
                          -DFILES=${CMAKE_BINARY_DIR}/installer-files.nsh -DICON=${VELKOR_ICO} -DOUTFILE=${setup}
                          ${CMAKE_CURRENT_LIST_DIR}/velkor.nsi
                  DEPENDS velkor velkor-cli velkor_windows_runtime
                  BYPRODUCTS ${setup}
                  COMMENT "Making ${setup}" VERBATIM)
