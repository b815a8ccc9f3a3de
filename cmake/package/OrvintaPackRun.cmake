# The two build steps of an installer made by orvinta_add_installer, run with cmake -P from
# the script that the function generates for it (ORVINTA_PACK, ORVINTA_OUTPUT,
# ORVINTA_OPTIONS, ORVINTA_INPUTS, ORVINTA_MANIFEST, ORVINTA_CONFIGURED_EPOCH), with
# ORVINTA_STEP set:
#   scan  describes every input (for a folder, each file in it) by size and time, and the
#         SOURCE_DATE_EPOCH in force, in the manifest, rewriting it only when the
#         description changed: packing depends on the manifest, so it runs again when a
#         file changes, appears or goes, and not otherwise;
#   pack  runs orvinta-pack build.
cmake_minimum_required(VERSION 3.20)

# The build's environment decides; else the one that configured the project.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "" AND NOT ORVINTA_CONFIGURED_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${ORVINTA_CONFIGURED_EPOCH}")
endif()

if(ORVINTA_STEP STREQUAL "scan")
  set(time_format "%s")
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.23)
    set(time_format "%s.%f")
  endif()
  set(paths "")
  foreach(input IN LISTS ORVINTA_INPUTS)
    list(APPEND paths "${input}")
    if(IS_DIRECTORY "${input}")
      file(GLOB entries LIST_DIRECTORIES true "${input}/*")
      list(APPEND paths ${entries})
    endif()
  endforeach()
  set(description "SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}\n")
  foreach(path IN LISTS paths)
    if(IS_DIRECTORY "${path}")
      string(APPEND description "folder ${path}\n")
    elseif(EXISTS "${path}")
      file(SIZE "${path}" size)
      file(TIMESTAMP "${path}" time "${time_format}" UTC)
      string(APPEND description "file ${path} ${size} ${time}\n")
    else()
      string(APPEND description "missing ${path}\n")
    endif()
  endforeach()
  set(recorded "")
  if(EXISTS "${ORVINTA_MANIFEST}")
    file(READ "${ORVINTA_MANIFEST}" recorded)
  endif()
  if(NOT recorded STREQUAL description)
    file(WRITE "${ORVINTA_MANIFEST}" "${description}")
  endif()
elseif(ORVINTA_STEP STREQUAL "pack")
  execute_process(COMMAND "${ORVINTA_PACK}" build ${ORVINTA_OPTIONS} -- ${ORVINTA_INPUTS}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "orvinta-pack did not build ${ORVINTA_OUTPUT} (exit status ${status})")
  endif()
else()
  message(FATAL_ERROR "OrvintaPackRun.cmake: ORVINTA_STEP must be scan or pack, not '${ORVINTA_STEP}'")
endif()
