# DOWNLOAD_FALLBACK_HOSTS: up to two more hosts after DOWNLOAD_HOST, checked
# and printed here. Sets download_hosts, the ','-separated list of all hosts,
# the primary first.
set(DOWNLOAD_FALLBACK_HOSTS "" CACHE STRING
    "Up to two more download hosts, host[:port],host[:port], with the primary's scheme and paths")
set(download_hosts "${DOWNLOAD_HOST}")
if(NOT DOWNLOAD_FALLBACK_HOSTS STREQUAL "")
  string(REPLACE "," ";" fallback_entries "${DOWNLOAD_FALLBACK_HOSTS}")
  string(TOLOWER "${DOWNLOAD_HOST}" seen_hosts)
  foreach(entry IN LISTS fallback_entries)
    string(TOLOWER "${entry}" lower_entry)
    if(entry STREQUAL "")
      message(FATAL_ERROR "DOWNLOAD_FALLBACK_HOSTS '${DOWNLOAD_FALLBACK_HOSTS}' has an empty entry")
    elseif(NOT entry MATCHES "^([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?$")
      message(FATAL_ERROR "DOWNLOAD_FALLBACK_HOSTS: '${entry}' is not host[:port]")
    elseif(lower_entry IN_LIST seen_hosts)
      message(FATAL_ERROR "DOWNLOAD_FALLBACK_HOSTS: '${entry}' is the primary or a duplicate")
    endif()
    list(APPEND seen_hosts "${lower_entry}")
  endforeach()
  list(LENGTH fallback_entries fallback_count)
  if(fallback_count GREATER 2)
    message(FATAL_ERROR "DOWNLOAD_FALLBACK_HOSTS '${DOWNLOAD_FALLBACK_HOSTS}' names more than two hosts")
  endif()
  string(APPEND download_hosts ",${DOWNLOAD_FALLBACK_HOSTS}")
  string(REPLACE "," ", then " host_order "${download_hosts}")
  message(NOTICE "Download hosts, asked in turn: ${host_order}. Every host must serve the same "
    "bytes; a primary that accepts connections but never answers costs each download one window "
    "before the next host is asked.")
endif()
