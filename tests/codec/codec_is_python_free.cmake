# The codec must stay usable without Python: no file under src/codec may
# include the interpreter's headers or use its types.
file(GLOB_RECURSE sources "${CODEC_DIR}/*.hpp" "${CODEC_DIR}/*.cpp")
foreach(source IN LISTS sources)
  file(STRINGS "${source}" hits REGEX "Python\\.h|PyObject|Py_ssize_t")
  if(hits)
    message(FATAL_ERROR "${source} refers to the Python C API: ${hits}")
  endif()
endforeach()
list(LENGTH sources count)
if(count EQUAL 0)
  message(FATAL_ERROR "no codec sources found under ${CODEC_DIR}")
endif()
