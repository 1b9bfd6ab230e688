# Helpers shared by every deliverable's CMakeLists.txt.

# Project code builds with warnings as errors; third-party code does not.
function(tvx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# User-mode programs and DLLs need no MinGW runtime DLL at run time.
function(tvx_user_mode target)
  tvx_warnings(${target})
  target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()

# Declares the oldest Windows a binary starts on (header OS and subsystem versions), which must be
# no older than the newest function it imports: tvx_declare_windows(target 6 0).
function(tvx_declare_windows target major minor)
  target_link_options(${target} PRIVATE -Wl,--major-os-version,${major} -Wl,--minor-os-version,${minor}
                      -Wl,--major-subsystem-version,${major} -Wl,--minor-subsystem-version,${minor})
endfunction()

# Embeds an application manifest as an RT_MANIFEST resource (id 1 for programs, 2 for DLLs).
function(tvx_embed_manifest target manifest id)
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc")
  file(WRITE "${rc}" "#include <winuser.h>\n${id} RT_MANIFEST \"${manifest}\"\n")
  target_sources(${target} PRIVATE "${rc}")
  set_property(SOURCE "${rc}" APPEND PROPERTY OBJECT_DEPENDS "${manifest}")
endfunction()

# Every Wine test joins the test run's Wine session. wine-run answers 77 instead of running a
# 32-bit program on a host that cannot execute 32-bit code: ctest reports that test as skipped.
function(tvx_wine_test name)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77)
endfunction()

# The kinds of test, as ctest labels: `ctest -L unit` runs the fast ones. See DEVELOPING.md.
set(TVX_TEST_LABELS unit scenario wine-kernel static)

# A GoogleTest program run under Wine: tvx_add_gtest(name SOURCES ... LIBS ... [LABEL kind]),
# a unit test unless LABEL says otherwise.
function(tvx_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT;LABEL" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_LABEL IN_LIST TVX_TEST_LABELS)
    message(FATAL_ERROR "${name}: LABEL ${T_LABEL} is none of ${TVX_TEST_LABELS}")
  endif()
  add_executable(${name} ${T_SOURCES})
  tvx_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
  target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
  add_test(NAME ${name}${TVX_TEST_SUFFIX} COMMAND ${name})
  tvx_wine_test(${name}${TVX_TEST_SUFFIX})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name}${TVX_TEST_SUFFIX} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${T_LABEL})
  if(T_ENV)
    set_tests_properties(${name}${TVX_TEST_SUFFIX} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()

# Checks a built binary's PE headers: tvx_pe_check(target ARGS...), see scripts/pecheck.py.
# The twins are not shipped: their headers are not the deliverables'.
function(tvx_pe_check target)
  if(TVX_TREE STREQUAL x64u)
    return()
  endif()
  add_test(NAME pe_${target} COMMAND ${TVX_PYTHON} "${CMAKE_SOURCE_DIR}/scripts/pecheck.py"
           "$<TARGET_FILE:${target}>" ${ARGN})
  set_tests_properties(pe_${target} PROPERTIES LABELS static)
endfunction()

# Code that includes the driver kit's headers. The kit defines two interlocked bit-test routines
# inline that clash in C++ with the compiler's own intrinsics, so every such unit says they exist.
function(tvx_ddk_definitions target scope)
  target_compile_definitions(${target} ${scope}
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet= __INTRINSIC_DEFINED_InterlockedBitTestAndReset=)
endfunction()

# Code that runs in the kernel: no exceptions, RTTI or C++ runtime, no stack probes or guards that
# need a CRT. The kit's headers sit beside the cross compiler's own.
function(tvx_kernel_code target)
  find_path(TVX_DDK_INCLUDE ntddk.h PATHS "${CMAKE_FIND_ROOT_PATH}/include/ddk"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  tvx_warnings(${target})
  tvx_ddk_definitions(${target} PUBLIC)
  target_include_directories(${target} PUBLIC ${TVX_DDK_INCLUDE})
  # Not for the version resource, which the resource compiler builds from the same target.
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector -mno-stack-arg-probe>)
endfunction()

# A kernel image (.sys): kernel code linked against the kernel alone, loaded where Windows loads
# drivers, relocatable, with data not executable, and marked as a WDM driver; then its headers are
# checked. Every .sys the project builds, shipped or for tests, is made by this one rule.
function(tvx_kernel_driver target)
  tvx_kernel_code(${target})
  set_target_properties(${target} PROPERTIES SUFFIX ".sys" LINKER_LANGUAGE CXX)
  target_link_options(${target} PRIVATE
    -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat -Wl,--wdmdriver
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
  # The kernel and libgcc come last, so that they resolve what the libraries before them import.
  set_property(TARGET ${target} APPEND PROPERTY LINK_LIBRARIES ntoskrnl gcc)
  tvx_pe_check(${target} --machine amd64 --subsystem native --imports-from ntoskrnl.exe --entry-symbol DriverEntry)
endfunction()

# Copies a deliverable into dist/ on install, stripped (its debug information kept beside dist/ in
# dist-debug/) and signed with the build's test certificate (scripts/ship).
function(tvx_deliver target)
  install(FILES "$<TARGET_FILE:${target}>" DESTINATION .)
  install(CODE "
    execute_process(COMMAND \"${CMAKE_SOURCE_DIR}/scripts/ship\" \"${TVX_SIGNING_DIR}\" \"${CMAKE_OBJCOPY}\"
                            \"\${CMAKE_INSTALL_PREFIX}-debug\" \"\${CMAKE_INSTALL_PREFIX}/$<TARGET_FILE_NAME:${target}>\"
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"stripping and signing $<TARGET_FILE_NAME:${target}> failed\")
    endif()")
endfunction()

# Gives a shipped binary its version resource, from the one TVX_VERSION of the build:
# tvx_version_resource(target "File description" APP|DLL|DRV)
function(tvx_version_resource target description kind)
  string(REPLACE "." "," comma "${TVX_VERSION}")
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(kind STREQUAL DLL)
    set(file_type VFT_DLL)
    set(subtype 0)
    set(file_name "${name}.dll")
  elseif(kind STREQUAL DRV)
    set(file_type VFT_DRV)
    set(subtype VFT2_DRV_SYSTEM)
    set(file_name "${name}.sys")
  else()
    set(file_type VFT_APP)
    set(subtype 0)
    set(file_name "${name}.exe")
  endif()
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  file(WRITE "${rc}" "#include <winver.h>
VS_VERSION_INFO VERSIONINFO
FILEVERSION     ${comma}
PRODUCTVERSION  ${comma}
FILEFLAGSMASK   VS_FFI_FILEFLAGSMASK
FILEFLAGS       0
FILEOS          VOS_NT_WINDOWS32
FILETYPE        ${file_type}
FILESUBTYPE     ${subtype}
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904b0\"
    BEGIN
      VALUE \"CompanyName\",      \"Orvanta\"
      VALUE \"FileDescription\",  \"${description}\"
      VALUE \"FileVersion\",      \"${TVX_VERSION}\"
      VALUE \"InternalName\",     \"${file_name}\"
      VALUE \"OriginalFilename\", \"${file_name}\"
      VALUE \"ProductName\",      \"Orvanta\"
      VALUE \"ProductVersion\",   \"${TVX_VERSION}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x0409, 1200
  END
END
")
  target_sources(${target} PRIVATE "${rc}")
endfunction()
