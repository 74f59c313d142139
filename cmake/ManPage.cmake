# Writes the man page of vireo with help2man: the general help, then one section with the help of
# each command that the general help lists. OUTPUT ends in .gz: the page is installed compressed.
#   cmake -DVIREO=<vireo> -DHELP2MAN=<help2man> -DVERSION=<x.y.z> -DOUTPUT=<vireo.1.gz>
#         -P ManPage.cmake
execute_process(COMMAND ${VIREO} --help OUTPUT_VARIABLE usage RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "vireo --help failed (${status})")
endif()

# The commands are the lines "  <name> ..." after "commands:".
string(REPLACE "\n" ";" lines "${usage}")
set(in_commands OFF)
set(commands "")
foreach(line IN LISTS lines)
  if(line MATCHES "^commands:")
    set(in_commands ON)
  elseif(in_commands AND line MATCHES "^  ([a-z][a-z0-9-]*)")
    list(APPEND commands ${CMAKE_MATCH_1})
  elseif(in_commands AND line STREQUAL "")
    set(in_commands OFF)
  endif()
endforeach()

get_filename_component(dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${dir}")
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
set(include_file "${page}.include")
set(sections "[COMMANDS]\n")
foreach(command IN LISTS commands)
  # A command's help may end with a non-zero status; its text is what matters.
  execute_process(COMMAND ${VIREO} ${command} --help
    OUTPUT_VARIABLE help ERROR_VARIABLE help_error)
  string(STRIP "${help}${help_error}" help)
  # roff: a leading '.' or '\'' starts a request; backslashes escape.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND sections ".SS vireo ${command}\n.nf\n${help}\n.fi\n")
endforeach()
file(WRITE "${include_file}" "${sections}")

execute_process(
  COMMAND ${HELP2MAN} --no-info --version-string=${VERSION}
          "--name=command-line host of the VireoClient media library"
          --include=${include_file} --output=${page} ${VIREO}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed (${status})")
endif()
# -n: no name or time stamp in the archive, so that the same page gives the same file.
execute_process(COMMAND gzip -9 -n -f -k ${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed (${status})")
endif()
