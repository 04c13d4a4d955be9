#include "kelvaneerror.h"

#include <exception>

QString currentExceptionMessage()
{
    try {
        throw;
    } catch (const KelvaneError &e) {
        return e.message();
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return {};
    }
}
