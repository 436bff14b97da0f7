#include "platform/builtin_classes.h"

#include "platform/class_factory.h"
#include "platform/dshow.h"
#include "platform/filter_graph.h"

namespace platform {

HRESULT GetBuiltInClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (clsid == CLSID_FilterGraph) {
        return MakeComObject<ClassFactory>(&CreateFilterGraph)->QueryInterface(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace platform
