# Runs at install time (cmake --install), after the files are in place.

# The menu entry starts the launcher by its full path: the prefix's bin/ need
# not be on the desktop's PATH. Quoted and escaped as desktop entries want.
set(exec "${CMAKE_INSTALL_PREFIX}/bin/orvane")
string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
set(ORV_EXEC "\"${exec}\"")
configure_file("${ORV_DESKTOP_IN}" "${ORV_DESKTOP_OUT}" @ONLY)
file(INSTALL "${ORV_DESKTOP_OUT}" DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications")

# The book belongs to the person installing; a staged install (DESTDIR, as
# packagers do) leaves it to the launcher's first start.
set(link "${CMAKE_INSTALL_PREFIX}/lib/orvane/orv.mdb")
if("$ENV{DESTDIR}" STREQUAL "")
  execute_process(COMMAND "${CMAKE_INSTALL_PREFIX}/lib/orvane/prepare-book" RESULT_VARIABLE rc)
  if(rc EQUAL 0 AND IS_SYMLINK "${link}")
    file(READ_SYMLINK "${link}" book)
    message(STATUS "Agenda: ${book} (enlazada como ${link})")
    # In the manifest, so that removing what was installed removes the link;
    # the book itself stays.
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
  elseif(NOT rc EQUAL 0)
    message(WARNING "La agenda no se pudo preparar; la orden orvane lo intentará al iniciarse.")
  endif()
endif()

# This install's own list of what it wrote, inside the prefix beside the
# uninstall script that reads it: the build's install_manifest.txt is
# replaced by the next install from that build, to whatever prefix. Paths
# are relative to the prefix, so that a staged install lists what will be
# there.
set(own "${CMAKE_INSTALL_PREFIX}/lib/orvane")
set(manifest "$ENV{DESTDIR}${own}/install_manifest.txt")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${own}/install_manifest.txt")
set(listed "")
foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  file(RELATIVE_PATH file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}" "${file}")
  string(APPEND listed "${file}\n")
endforeach()
file(WRITE "${manifest}" "${listed}")
message(STATUS "Para desinstalar: ${own}/uninstall")
