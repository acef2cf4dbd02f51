# Run by CPack after it has built the Debian packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package of shared libraries in /usr/lib/<multiarch> postinst
# and postrm scripts that call ldconfig; Debian asks for the ldconfig trigger
# instead. The runtime package is rebuilt with the trigger and without those
# scripts; its files and other control files stay as they were.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  if(NOT name MATCHES "^${CPACK_LUMFILESYSTEM_RUNTIME_PACKAGE}_")
    continue()
  endif()
  get_filename_component(directory "${package}" DIRECTORY)
  set(tree "${directory}/triggers-${CPACK_LUMFILESYSTEM_RUNTIME_PACKAGE}")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  file(COPY_FILE "${CPACK_LUMFILESYSTEM_DEBIAN_DIR}/triggers" "${tree}/DEBIAN/triggers")
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
