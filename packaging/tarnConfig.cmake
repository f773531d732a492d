# find_package(tarn) gives the imported target tarn::tarn: the shared library and its header.
include("${CMAKE_CURRENT_LIST_DIR}/tarnTargets.cmake")
