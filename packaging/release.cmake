# What the Windows builds add for the administrator who deploys the
# programs: version resources and manifests, and (32-bit build) the release
# zip with SHA256SUMS.  Included only when building for Windows.

# The one project version, spread out for the resource scripts.
foreach(part MAJOR MINOR PATCH TWEAK)
  set(KOVA_VERSION_${part} "${PROJECT_VERSION_${part}}")
  if(KOVA_VERSION_${part} STREQUAL "")
    set(KOVA_VERSION_${part} 0)
  endif()
endforeach()
set(KOVA_VERSION_DOTS
  "${KOVA_VERSION_MAJOR}.${KOVA_VERSION_MINOR}.${KOVA_VERSION_PATCH}.${KOVA_VERSION_TWEAK}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kovaver.h.in ${PROJECT_BINARY_DIR}/generated/kovaver.h @ONLY)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KOVA_MANIFEST_ARCH x86)
else()
  set(KOVA_MANIFEST_ARCH amd64)
endif()

# Builds the resource script beside the program (<target>.rc) into it,
# with the program's manifest made from the shared one.
function(kova_add_windows_resources target)
  set(KOVA_PROGRAM ${target})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/kova.manifest.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/${target}.rc)
  # The resource compiler finds kovaver.h and the manifest here.
  target_include_directories(${target} PRIVATE
    ${PROJECT_BINARY_DIR}/generated ${CMAKE_CURRENT_BINARY_DIR})
  set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/${target}.rc APPEND PROPERTY
    OBJECT_DEPENDS ${PROJECT_BINARY_DIR}/generated/kovaver.h
                   ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
endfunction()

# The zip is made after every build (it takes a moment) so that it always
# matches the programs and the commit, whose time it carries.
function(kova_add_release_zip)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return() # the release is the 32-bit build
  endif()
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(dist ${PROJECT_BINARY_DIR}/dist)
  set(zip ${dist}/kova-${PROJECT_VERSION}-win32.zip)
  add_custom_target(release_zip ALL
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/make_zip.py
            --source ${PROJECT_SOURCE_DIR} --zip ${zip} --sums ${dist}/SHA256SUMS
            $<TARGET_FILE:kova32ex> $<TARGET_FILE:wakelan> ${PROJECT_SOURCE_DIR}/packaging/CONSOLE.txt
            ${PROJECT_SOURCE_DIR}/packaging/WAKELAN.txt
    BYPRODUCTS ${zip} ${dist}/SHA256SUMS
    COMMENT "Writing ${zip} and SHA256SUMS"
    VERBATIM)
  add_dependencies(release_zip kova32ex wakelan)
endfunction()
