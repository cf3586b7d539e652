# The manual pages of man/: what each page documents. The install makes a one-line page for every
# further name, and the man_pages test checks that every export has a name on some page:
#   ksrn_man_page_names(<page> <variable>)

# Sets <variable> to the names in the NAME section of <page>, the page's own name first.
function(ksrn_man_page_names page variable)
  file(STRINGS ${page} lines REGEX "^\\.(Sh|Nm) ")
  set(names)
  set(in_name FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\.Sh ")
      if(in_name)
        break()
      endif()
      if(line STREQUAL ".Sh NAME")
        set(in_name TRUE)
      endif()
    elseif(in_name AND line MATCHES "^\\.Nm ([^ ]+)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${variable} ${names} PARENT_SCOPE)
endfunction()
