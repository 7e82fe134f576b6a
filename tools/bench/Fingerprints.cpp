// Backup and re-write: funcBackFingure and funcReWrite with the host's recordset.
#include "Bench.h"

namespace bench {

Figure Backup(const Sizes& sizes, IMachine&)
{
    Figure f{"backup_ratio", "backup, " + std::to_string(sizes.employees) + " employees"};
    f.measured = false;
    return f;
}

Figure ReWrite(const Sizes& sizes, IMachine&)
{
    Figure f{"rewrite_us", "re-write, " + std::to_string(sizes.rewriteBytes) + "-byte template"};
    f.perCall = true;
    f.measured = false;
    return f;
}

} // namespace bench
