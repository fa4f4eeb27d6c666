// The catalogue copies are fetched into the working directory and must be read from there, not
// from the program's own folder.
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

#include "TempDir.h"
#include "catalogue/ComponentCatalogue.h"
#include "catalogue/FormsCatalogue.h"

using namespace catalogue;

namespace {

class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) {
        char buffer[4096];
        if (::getcwd(buffer, sizeof buffer) == nullptr || ::chdir(path.c_str()) != 0)
            throw std::runtime_error("cannot change the working directory to " + path);
        saved_ = buffer;
    }
    ~WorkingDirectory() {
        if (::chdir(saved_.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << saved_;
    }

private:
    std::string saved_;
};

}  // namespace

TEST(CatalogueCopies, AreReadFromTheWorkingDirectory) {
    TempDir dir;
    dir.Write("formularios.cfg", "[Formulario 1]\r\nnome=Do diretorio de trabalho\r\n");
    dir.Write("download.cfg", "[componente 1]\r\nnome=C1\r\n[componente 2]\r\nnome=C2\r\n");
    WorkingDirectory here(dir.Path());

    TabelaFormularios formularios;
    ASSERT_EQ(LeFormulariosCfg(formularios), 1u);
    EXPECT_EQ(formularios.Slot(1)->Nome, "Do diretorio de trabalho");
    TabelaComponentes componentes;
    EXPECT_EQ(LeDownloadCfg(componentes).size(), 2u);
    EXPECT_EQ(componentes.Slot(2)->Nome, "C2");
}

TEST(CatalogueCopies, AMissingCopyGivesAnEmptyTable) {
    TempDir dir;
    WorkingDirectory here(dir.Path());
    TabelaFormularios formularios;
    EXPECT_EQ(LeFormulariosCfg(formularios), 0u);
    TabelaComponentes componentes;
    EXPECT_TRUE(LeDownloadCfg(componentes).empty());
    EXPECT_EQ(componentes.Count(), 0u);
}
