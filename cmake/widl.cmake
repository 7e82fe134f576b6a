# widl from mingw-w64: headers and type libraries from IDL.
find_program(KAVRO_WIDL i686-w64-mingw32-widl REQUIRED)
set(KAVRO_WINE_IDL_DIR /usr/include/wine/wine/windows)       # oaidl.idl and friends
set(KAVRO_STDOLE_DIR   /usr/lib/i386-linux-gnu/wine/i386-windows) # stdole2.tlb
set(KAVRO_IDL_OUT ${CMAKE_BINARY_DIR}/idl)
file(MAKE_DIRECTORY ${KAVRO_IDL_OUT})

# kavro_idl(<name> <idl file> [DEPENDS tlb...])
# Writes ${KAVRO_IDL_OUT}/<name>.h, <name>_i.c and <name>.tlb and a target idl_<name>.
function(kavro_idl name idl)
    cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
    get_filename_component(idl_abs ${idl} ABSOLUTE)
    get_filename_component(idl_dir ${idl_abs} DIRECTORY)
    set(flags -I${KAVRO_WINE_IDL_DIR} -I${idl_dir} -I${KAVRO_IDL_OUT}
              -L${KAVRO_STDOLE_DIR} -L${KAVRO_IDL_OUT} --win32 -D__WIDL__)
    add_custom_command(
        OUTPUT ${KAVRO_IDL_OUT}/${name}.h ${KAVRO_IDL_OUT}/${name}_i.c ${KAVRO_IDL_OUT}/${name}.tlb
        COMMAND ${KAVRO_WIDL} ${flags} -h -o ${KAVRO_IDL_OUT}/${name}.h ${idl_abs}
        COMMAND ${KAVRO_WIDL} ${flags} -u -o ${KAVRO_IDL_OUT}/${name}_i.c ${idl_abs}
        COMMAND ${KAVRO_WIDL} ${flags} -t -o ${KAVRO_IDL_OUT}/${name}.tlb ${idl_abs}
        DEPENDS ${idl_abs} ${ARG_DEPENDS}
        WORKING_DIRECTORY ${KAVRO_IDL_OUT}
        COMMENT "widl ${name}.idl"
        VERBATIM)
    add_custom_target(idl_${name} DEPENDS ${KAVRO_IDL_OUT}/${name}.h ${KAVRO_IDL_OUT}/${name}.tlb)
endfunction()
