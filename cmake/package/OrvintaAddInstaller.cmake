# orvinta_add_installer(<target> OUTPUT <file> FILES <file-or-folder>...
#                       [STUB <file>] [LEVEL <n>] [JOBS <n>]
#                       [SIGN_CERT <file> SIGN_KEY <file> | SIGN_PKCS12 <file>]
#                       [SIGN_PASS_ENV <name>] [TIMESTAMP_URL <url>]
#                       [X86_64_TEST_STUB] [EXCLUDE_FROM_ALL] [DEPENDS <target>...])
#
# Adds <target>, which packs (and signs) the installer <file> with orvinta-pack build.
# It is packed again when a listed file, a file in a listed folder (also one added or
# removed), the stub, a signing file or the tool changes, and not otherwise. Relative
# OUTPUT names are taken in the current binary folder, other relative paths in the
# current source folder. Without STUB the stub installed with the tool is packed.
# DEPENDS names targets that make the files (a staging step, say): they run first.
# X86_64_TEST_STUB accepts the x86-64 test build of the stub. EXCLUDE_FROM_ALL leaves the
# target out of the default build. SOURCE_DATE_EPOCH reaches the tool from the build's
# environment, else from the environment that configured the project; a change of it
# packs again too. A second target, <target>-inputs, checks the files on every build.
include_guard(GLOBAL)

set(_ORVINTA_PACK_RUN "${CMAKE_CURRENT_LIST_DIR}/OrvintaPackRun.cmake")

# Quotes a value for a generated CMake script: a bracket argument whose brackets the
# value cannot close.
function(_orvinta_bracket value out)
  set(level "=")
  while(value MATCHES "]${level}]")
    string(APPEND level "=")
  endwhile()
  set(${out} "[${level}[${value}]${level}]" PARENT_SCOPE)
endfunction()

function(_orvinta_list_script name values out)
  set(text "set(${name}")
  foreach(value IN LISTS values)
    _orvinta_bracket("${value}" quoted)
    string(APPEND text "\n  ${quoted}")
  endforeach()
  set(${out} "${text})\n" PARENT_SCOPE)
endfunction()

function(orvinta_add_installer target)
  set(flags X86_64_TEST_STUB EXCLUDE_FROM_ALL)
  set(values OUTPUT STUB LEVEL JOBS SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASS_ENV TIMESTAMP_URL)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "${flags}" "${values}" "FILES;DEPENDS")
  set(call "orvinta_add_installer(${target})")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${call}: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${call}: ${ARG_KEYWORDS_MISSING_VALUES} given without a value")
  endif()
  if(NOT ARG_OUTPUT OR NOT ARG_FILES)
    message(FATAL_ERROR "${call}: OUTPUT and FILES are required")
  endif()
  if(NOT TARGET OrvintaPack::orvinta-pack)
    message(FATAL_ERROR "${call}: run find_package(OrvintaPack CONFIG REQUIRED) first")
  endif()
  if(DEFINED ARG_SIGN_CERT OR DEFINED ARG_SIGN_KEY)
    if(NOT DEFINED ARG_SIGN_CERT OR NOT DEFINED ARG_SIGN_KEY)
      message(FATAL_ERROR "${call}: SIGN_CERT and SIGN_KEY go together")
    endif()
    if(DEFINED ARG_SIGN_PKCS12)
      message(FATAL_ERROR "${call}: sign with SIGN_CERT and SIGN_KEY or with SIGN_PKCS12, not both")
    endif()
  endif()
  set(signed FALSE)
  if(DEFINED ARG_SIGN_CERT OR DEFINED ARG_SIGN_PKCS12)
    set(signed TRUE)
  endif()
  if(NOT signed AND (DEFINED ARG_SIGN_PASS_ENV OR DEFINED ARG_TIMESTAMP_URL))
    message(FATAL_ERROR "${call}: SIGN_PASS_ENV and TIMESTAMP_URL need SIGN_CERT and SIGN_KEY or SIGN_PKCS12")
  endif()

  get_filename_component(output "${ARG_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(inputs "")
  foreach(file IN LISTS ARG_FILES)
    get_filename_component(file "${file}" ABSOLUTE)
    list(APPEND inputs "${file}")
  endforeach()
  if(DEFINED ARG_STUB)
    get_filename_component(stub "${ARG_STUB}" ABSOLUTE)
  elseif(OrvintaPack_STUB)
    set(stub "${OrvintaPack_STUB}")
  else()
    message(FATAL_ERROR "${call}: no stub was installed with OrvintaPack (${OrvintaPack_DIR}); give STUB")
  endif()

  set(options --out "${output}")
  set(depends "$<TARGET_FILE:OrvintaPack::orvinta-pack>" "${stub}")
  if(DEFINED ARG_STUB)
    list(APPEND options --stub "${stub}")
  endif()
  foreach(pair IN ITEMS "LEVEL;--level" "JOBS;--jobs" "SIGN_PASS_ENV;--sign-pass-env"
                        "TIMESTAMP_URL;--timestamp-url")
    list(GET pair 0 key)
    list(GET pair 1 option)
    if(DEFINED ARG_${key})
      list(APPEND options ${option} "${ARG_${key}}")
    endif()
  endforeach()
  foreach(pair IN ITEMS "SIGN_CERT;--sign-cert" "SIGN_KEY;--sign-key" "SIGN_PKCS12;--sign-pkcs12")
    list(GET pair 0 key)
    list(GET pair 1 option)
    if(DEFINED ARG_${key})
      get_filename_component(file "${ARG_${key}}" ABSOLUTE)
      list(APPEND options ${option} "${file}")
      list(APPEND depends "${file}")
    endif()
  endforeach()
  if(ARG_X86_64_TEST_STUB)
    list(APPEND options --x86-64-test-stub)
  endif()

  # Everything the steps need goes into a script of its own, so that paths and values
  # reach the tool exactly as given, and a change of them packs again.
  string(MAKE_C_IDENTIFIER "${target}" name)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/orvinta-installer-${name}.cmake")
  set(manifest "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/orvinta-installer-${name}.inputs")
  _orvinta_bracket("${output}" quoted_output)
  _orvinta_bracket("${manifest}" quoted_manifest)
  _orvinta_bracket("$ENV{SOURCE_DATE_EPOCH}" quoted_epoch)
  _orvinta_bracket("${_ORVINTA_PACK_RUN}" quoted_run)
  _orvinta_list_script(ORVINTA_OPTIONS "${options}" options_script)
  _orvinta_list_script(ORVINTA_INPUTS "${inputs}" inputs_script)
  file(GENERATE OUTPUT "${script}" CONTENT
"# Made by orvinta_add_installer(${target}); run with -DORVINTA_STEP=scan or pack.
set(ORVINTA_PACK [==[$<TARGET_FILE:OrvintaPack::orvinta-pack>]==])
set(ORVINTA_OUTPUT ${quoted_output})
set(ORVINTA_MANIFEST ${quoted_manifest})
set(ORVINTA_CONFIGURED_EPOCH ${quoted_epoch})
${options_script}${inputs_script}include(${quoted_run})
")

  # The scan runs on every build, after the targets that make the files; the manifest
  # changes only when the files do.
  add_custom_target(${target}-inputs
    COMMAND "${CMAKE_COMMAND}" -DORVINTA_STEP=scan -P "${script}"
    BYPRODUCTS "${manifest}"
    VERBATIM)
  if(ARG_DEPENDS)
    add_dependencies(${target}-inputs ${ARG_DEPENDS})
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -DORVINTA_STEP=pack -P "${script}"
    DEPENDS ${depends} "${manifest}" "${script}" "${_ORVINTA_PACK_RUN}"
    COMMENT "Packing the installer ${output}"
    VERBATIM)
  set(all ALL)
  if(ARG_EXCLUDE_FROM_ALL)
    set(all "")
  endif()
  add_custom_target(${target} ${all} DEPENDS "${output}")
  add_dependencies(${target} ${target}-inputs)
endfunction()
