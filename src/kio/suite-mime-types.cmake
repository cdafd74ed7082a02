# The MIME types of the suite's formats, read from the host's table of formats (src/host/Formats.h,
# kSuiteFormats): every quoted type on the table's rows, in the table's order, without repeats. The table is
# the one place that names them; point TARNEL_FORMATS_TABLE elsewhere when it moves or is generated.
function(tarnel_suite_mime_types table out_var)
  file(READ ${table} text)
  string(REGEX MATCH "kSuiteFormats\\[\\][^;]*;" rows "${text}")
  if(NOT rows)
    message(FATAL_ERROR "no kSuiteFormats table in ${table}")
  endif()
  string(REGEX MATCHALL "\"[a-z]+/[-+.a-z0-9]+\"" quoted "${rows}")
  set(types)
  foreach(type IN LISTS quoted)
    string(REPLACE "\"" "" type ${type})
    list(APPEND types ${type})
  endforeach()
  list(REMOVE_DUPLICATES types)
  set(${out_var} ${types} PARENT_SCOPE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
endfunction()
