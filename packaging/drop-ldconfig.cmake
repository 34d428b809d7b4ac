# Run by cpack once it has made the .deb (CPACK_POST_BUILD_SCRIPTS).
#
# CPack's DEB generator gives a package postinst and postrm scripts that run
# ldconfig whenever it holds shared objects under /usr/lib. Ours are in the
# private folder /usr/lib/postwarden/, which ldconfig never reads: the command
# loads them by path. The scripts would only cost every install a run of
# ldconfig, and lintian reports them, so they are taken out here and the
# package put together again, its files and control fields as they were.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(unpacked "${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig")
  file(REMOVE_RECURSE "${unpacked}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${unpacked}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb could not unpack ${deb}")
  endif()
  foreach(script postinst postrm)
    set(path "${unpacked}/DEBIAN/${script}")
    if(NOT EXISTS "${path}")
      continue()
    endif()
    # Our own postinst (packaging/postinst: the milter's user) stays.
    file(READ "${path}" text)
    if(text MATCHES "systemd-sysusers postwarden.conf" AND NOT text MATCHES "ldconfig")
      continue()
    endif()
    # Only a script that does nothing but call ldconfig goes.
    file(STRINGS "${path}" lines)
    list(FILTER lines EXCLUDE REGEX "^[ \t]*(#.*|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi)?[ \t]*$")
    if(lines)
      message(FATAL_ERROR "${script} of ${deb} does more than call ldconfig: ${lines}")
    endif()
    file(REMOVE "${path}")
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${unpacked}" "${deb}"
                  OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb could not put ${deb} together again")
  endif()
  file(REMOVE_RECURSE "${unpacked}")
endforeach()
