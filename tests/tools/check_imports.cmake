# Checks that EXE imports from zoriolib.dll exactly the names in EXPECTED, by
# reading its import table with OBJDUMP.
execute_process(COMMAND ${OBJDUMP} -p ${EXE}
  OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed: ${result}")
endif()

# Entries follow "DLL Name: zoriolib.dll" as "<vma> <hint> <name>" lines
# until the next blank line.
string(REPLACE "\n" ";" lines "${dump}")
set(inside FALSE)
set(seen FALSE)
set(imported)
foreach(line IN LISTS lines)
  if(line MATCHES "DLL Name: (.*)$")
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
    set(inside FALSE)
    if(dll STREQUAL "zoriolib.dll")
      set(inside TRUE)
      set(seen TRUE)
    endif()
  elseif(inside AND line MATCHES "^[ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([^ \t]+)[ \t]*$")
    list(APPEND imported "${CMAKE_MATCH_1}")
  elseif(inside AND line MATCHES "^[ \t]*$")
    set(inside FALSE)
  endif()
endforeach()

if(NOT seen)
  message(FATAL_ERROR "${EXE} imports nothing from zoriolib.dll")
endif()
list(SORT imported)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT imported STREQUAL expected)
  message(FATAL_ERROR "${EXE} imports from zoriolib.dll:\n  ${imported}\nexpected:\n  ${expected}")
endif()
message(STATUS "zoriolib.dll imports: ${imported}")
