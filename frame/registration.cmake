# Type library, version block, resources and registration of Kavro.dll.

# Kavro.tlb is written by mktypelib under Wine. It runs beside the type
# libraries Kavro.tlb refers to, so that only their bare file names are needed.
set(KAVRO_TLB ${KAVRO_IDL_OUT}/Kavro.tlb)
add_custom_command(
    OUTPUT ${KAVRO_TLB}
    COMMAND ${KAVRO_WINE} $<TARGET_FILE:mktypelib> Kavro.tlb
    DEPENDS mktypelib
            ${KAVRO_IDL_OUT}/StdCollection.tlb ${KAVRO_IDL_OUT}/Ado26.tlb ${KAVRO_IDL_OUT}/ZebMachine.tlb
    WORKING_DIRECTORY ${KAVRO_IDL_OUT}
    COMMENT "mktypelib Kavro.tlb"
    VERBATIM)

# Kavro.rc embeds Kavro.tlb: a new type library rebuilds the resources.
target_sources(Kavro PRIVATE Kavro.rc ${KAVRO_TLB})
set_source_files_properties(Kavro.rc PROPERTIES OBJECT_DEPENDS ${KAVRO_TLB})
target_include_directories(Kavro PRIVATE ${KAVRO_IDL_OUT})

# Registration of the in-process server.
target_sources(Kavro PRIVATE Registration.cpp)
