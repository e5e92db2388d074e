cmake_minimum_required(VERSION 3.25)

# Fails when code above the platform layer includes what only Sources/Torvane/platform/ may see:
# libvips, Cairo, libdeflate, OpenCV, OpenSSL, the HTTP library, POSIX file APIs, or a platform header that
# itself includes one of them. Run by the build before the library compiles.
#   cmake -DSOURCE_DIR=... -DSTAMP=... -P CheckLayers.cmake
set(forbidden "^(vips/|cairo|opencv2/|openssl/|httplib\\.h|glib|gio/|fontconfig/|ft2build\\.h|freetype/|zlib\\.h|libdeflate\\.h|png\\.h|fcntl\\.h|unistd\\.h|dirent\\.h|sys/|poll\\.h|spawn\\.h|signal\\.h|pthread\\.h)")

function(includes_of file out)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  set(found "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" name "${line}")
    list(APPEND found "${name}")
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# Platform headers that expose a third-party or POSIX header stay private to the platform layer.
file(GLOB platform_headers "${SOURCE_DIR}/Sources/Torvane/platform/*.h")
set(private_headers "")
foreach(header IN LISTS platform_headers)
  includes_of("${header}" names)
  foreach(name IN LISTS names)
    if(name MATCHES "${forbidden}")
      get_filename_component(base "${header}" NAME)
      list(APPEND private_headers "Torvane/platform/${base}")
      break()
    endif()
  endforeach()
endforeach()

file(GLOB_RECURSE checked
  "${SOURCE_DIR}/Sources/*.h" "${SOURCE_DIR}/Sources/*.cpp")
set(problems "")
foreach(file IN LISTS checked)
  if(file MATCHES "/Sources/Torvane/platform/")
    continue()
  endif()
  includes_of("${file}" names)
  foreach(name IN LISTS names)
    if(name MATCHES "${forbidden}" OR name IN_LIST private_headers)
      file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
      string(APPEND problems "\n  ${shown}: #include ${name}")
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "Only Sources/Torvane/platform/ may include these:${problems}")
endif()
file(TOUCH "${STAMP}")
