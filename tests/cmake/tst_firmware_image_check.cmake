# Builds images around the carried one's information block and checks which ones the
# configure step accepts, and what it says about each.
cmake_minimum_required(VERSION 3.16)

set(carried ${SOURCE_DIR}/software/resources/firmware.bin)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# The carried image's block (begin marker to end marker) as hex; it sits at byte 0x200.
file(READ ${carried} carried_head LIMIT 2048 HEX)
string(FIND "${carried_head}" "12472301" begin)
string(FIND "${carried_head}" "13472301" end)
if(begin LESS 0 OR end LESS begin)
    message(FATAL_ERROR "the carried image has no block to build the cases from")
endif()
math(EXPR block_length "${end} - ${begin} + 8")
string(SUBSTRING "${carried_head}" ${begin} ${block_length} block)

function(filler count out)
    string(REPEAT "ff" ${count} hex)
    set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# Writes the hex string as an image file; file(WRITE) cannot write NUL bytes, python3 can.
function(write_image name hex)
    file(WRITE ${WORK_DIR}/${name}.hex "${hex}")
    execute_process(COMMAND python3 -c
        "import sys; open(sys.argv[2], 'wb').write(bytes.fromhex(open(sys.argv[1]).read()))"
        ${WORK_DIR}/${name}.hex ${WORK_DIR}/${name}.bin
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot write ${name}.bin")
    endif()
endfunction()

set(failures 0)
# expect(name accepted|refused text): runs the check on name.bin.
function(expect name verdict text)
    execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR}
                            -DIMAGE=${WORK_DIR}/${name}.bin
                            -P ${CMAKE_CURRENT_LIST_DIR}/check_one_image.cmake
                    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
    set(ok TRUE)
    if(verdict STREQUAL "accepted" AND NOT result EQUAL 0)
        set(ok FALSE)
    elseif(verdict STREQUAL "refused" AND result EQUAL 0)
        set(ok FALSE)
    endif()
    string(FIND "${said}" "${text}" found)
    if(found EQUAL -1)
        set(ok FALSE)
    endif()
    if(ok)
        message(STATUS "PASS ${name}: ${verdict}")
    else()
        message(STATUS "FAIL ${name}: expected ${verdict} with \"${text}\", got (${result}): ${said}")
        math(EXPR n "${failures} + 1")
        set(failures ${n} PARENT_SCOPE)
    endif()
endfunction()

filler(512 head)
filler(4096 tail)
write_image(at_0x200 "${head}${block}${tail}")
expect(at_0x200 accepted "\"Lx-21 main firmware\", revision \"2.4.1\", type code 0x04")

# The last place where the whole block still fits the 2048 bytes read from a unit.
math(EXPR last_fit "1948 - ${block_length} / 2 + 4")
filler(${last_fit} head)
write_image(last_fit "${head}${block}${tail}")
expect(last_fit accepted "revision \"2.4.1\"")

math(EXPR too_late "${last_fit} + 1")
filler(${too_late} head)
write_image(end_marker_too_late "${head}${block}${tail}")
expect(end_marker_too_late refused "both must start at byte 1948 or before")

filler(1900 head)
write_image(block_cut_by_2048 "${head}${block}${tail}")
expect(block_cut_by_2048 refused "a begin marker at byte 1900 but no end marker")

filler(8192 blank)
write_image(no_block "${blank}")
expect(no_block refused "has no firmware information block in its first 2048 bytes (no begin marker 12 47 23 01)")

# The marker's bytes, but across a byte boundary (x1 24 72 30 1x): not a marker.
write_image(straddling "0124723011${tail}")
expect(straddling refused "no begin marker")

# An end marker that does not close the block: the pairs do not fill whole 64-byte steps.
string(LENGTH "${block}" hex_length)
math(EXPR body_length "${hex_length} - 8 - 2")
string(SUBSTRING "${block}" 0 ${body_length} body)
write_image(ragged_pairs "${body}13472301${tail}")
expect(ragged_pairs refused "does not close the block")

write_image(empty "")
expect(empty refused "no begin marker")
expect(missing refused "no firmware image at")

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} firmware image case(s) failed")
endif()
