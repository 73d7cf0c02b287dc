# Inside the core the arrows point one way: the line may use the table and the CSV,
# the table and the CSV never use the line. One target cannot give its folders
# different include paths, so the core's build runs this over their sources:
#   cmake -DQZ_CORE=<folder holding table/ and csv/> -DQZ_STAMP=<file> -P arrows.cmake
file(GLOB_RECURSE sources RELATIVE "${QZ_CORE}" "${QZ_CORE}/table/*" "${QZ_CORE}/csv/*")
set(problems "")
foreach(source IN LISTS sources)
  file(STRINGS "${QZ_CORE}/${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"line/")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    list(APPEND problems "${source}: ${line}")
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "The table and the CSV use nothing of the line:\n  ${text}")
endif()
file(TOUCH "${QZ_STAMP}")
