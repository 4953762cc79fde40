# po-update: copies every domain's template made by the build into po/ and
# merges it into the catalogues (msgmerge marks changed messages fuzzy);
# a missing catalogue is started with msginit. Then translate what is
# fuzzy or empty (msgfmt --statistics counts them).
foreach(domain ${DOMAINS})
  file(MAKE_DIRECTORY ${PO_DIR}/${domain})
  set(pot ${PO_DIR}/${domain}/${domain}.pot)
  # A template that differs only in its creation date stays as it is.
  set(same FALSE)
  if(EXISTS ${pot})
    file(STRINGS ${pot} kept REGEX "^[^\"]|^\"[^P]|^\"P[^O]")
    file(STRINGS ${BUILD_PO_DIR}/${domain}.pot made REGEX "^[^\"]|^\"[^P]|^\"P[^O]")
    if(kept STREQUAL made)
      set(same TRUE)
    endif()
  endif()
  if(NOT same)
    file(COPY_FILE ${BUILD_PO_DIR}/${domain}.pot ${pot})
  endif()
  foreach(lang ${LANGUAGES})
    set(po ${PO_DIR}/${domain}/${lang}.po)
    if(EXISTS ${po})
      execute_process(COMMAND ${MSGMERGE} --quiet --update --backup=none ${po} ${pot}
                      COMMAND_ERROR_IS_FATAL ANY)
    else()
      execute_process(COMMAND ${MSGINIT} --no-translator --locale=${lang} -i ${pot} -o ${po}
                      COMMAND_ERROR_IS_FATAL ANY)
      # msginit picks the charset of the machine's locale (ASCII where that
      # locale is not generated); translations are UTF-8.
      file(READ ${po} text)
      string(REGEX REPLACE "charset=[A-Za-z0-9_-]+" "charset=UTF-8" text "${text}")
      file(WRITE ${po} "${text}")
    endif()
  endforeach()
  message(STATUS "${domain}: ${pot}")
endforeach()
