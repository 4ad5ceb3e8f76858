# updater_version_text(SOURCE_DIR GIVEN TEXT_VAR NUMBERS_VAR)
# TEXT_VAR: GIVEN when not empty, else the git description of SOURCE_DIR (only
# when SOURCE_DIR is itself the top of a checkout, not a copy inside another
# one), else "unknown". NUMBERS_VAR: four numbers "A,B,C,D" for a Windows
# version resource, from a tag of the form [v]A[.B[.C]] and the commits since
# it; 0,0,0,0 when the text starts with no such tag.
function(updater_version_text source_dir given text_var numbers_var)
  set(text "${given}")
  if(text STREQUAL "")
    set(text "unknown")
    find_program(UPDATER_GIT git)
    if(UPDATER_GIT)
      execute_process(COMMAND "${UPDATER_GIT}" -C "${source_dir}" rev-parse --show-toplevel
                      OUTPUT_VARIABLE top RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(NOT failed)
        file(REAL_PATH "${top}" top)
        file(REAL_PATH "${source_dir}" source_real)
        if(top STREQUAL source_real)
          execute_process(COMMAND "${UPDATER_GIT}" -C "${source_dir}" describe --tags --always --dirty
                          OUTPUT_VARIABLE described RESULT_VARIABLE failed
                          OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
          if(NOT failed AND NOT described STREQUAL "")
            set(text "${described}")
          endif()
        endif()
      endif()
    endif()
  endif()
  set(numbers "0,0,0,0")
  if(text MATCHES "^v?([0-9]+)(\\.([0-9]+))?(\\.([0-9]+))?(-([0-9]+)-g[0-9a-f]+)?(-dirty)?$")
    set(parts "${CMAKE_MATCH_1}" "${CMAKE_MATCH_3}" "${CMAKE_MATCH_5}" "${CMAKE_MATCH_7}")
    set(numbers "")
    foreach(part IN LISTS parts)
      if(part STREQUAL "")
        set(part 0)
      endif()
      # A resource's numbers are 16 bits each.
      if(part GREATER 65535)
        set(part 65535)
      endif()
      list(APPEND numbers ${part})
    endforeach()
    list(JOIN numbers "," numbers)
  endif()
  set(${text_var} "${text}" PARENT_SCOPE)
  set(${numbers_var} "${numbers}" PARENT_SCOPE)
endfunction()
