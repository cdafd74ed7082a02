// The reader as a VTK object: creation, identity, properties, printing, modification time, errors.
#include "MeshTestUtil.h"

#include "vtkCallbackCommand.h"
#include "vtkMergePoints.h"
#include "vtkPointLocator.h"
#include "vtkPolyDataAlgorithm.h"

#include <sys/stat.h>

#include <sstream>

using meshtest::BinaryFacets;
using meshtest::Count;
using meshtest::ScopedCapture;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

class FactoryReader : public vtkTVXReader {
public:
    static FactoryReader* New();
    vtkTypeMacro(FactoryReader, vtkTVXReader);
};
vtkStandardNewMacro(FactoryReader);

class ReaderFactory : public vtkObjectFactory {
public:
    static ReaderFactory* New() {
        auto* f = new ReaderFactory;
        f->InitializeObjectBase();
        return f;
    }
    const char* GetVTKSourceVersion() override { return VTK_SOURCE_VERSION; }
    const char* GetDescription() override { return "test factory"; }

private:
    ReaderFactory() {
        this->RegisterOverride("vtkTVXReader", "FactoryReader", "test", 1,
                               []() -> vtkObject* { return FactoryReader::New(); });
    }
};

std::string Printed(vtkTVXReader* reader) {
    std::ostringstream os;
    reader->PrintSelf(os, vtkIndent());
    return os.str();
}

const std::vector<meshtest::Triangle> kTwoSharingAnEdge = {{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}},
                                                           {{{1, 0, 0}, {1, 1, 0}, {0, 1, 0}}}};

} // namespace

TEST(ReaderObject, IdentityAndCreationThroughTheFactory) {
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    EXPECT_STREQ(reader->GetClassName(), "vtkTVXReader");
    EXPECT_TRUE(reader->IsA("vtkTVXReader"));
    EXPECT_TRUE(reader->IsA("vtkPolyDataAlgorithm"));
    EXPECT_TRUE(reader->IsA("vtkObject"));
    EXPECT_FALSE(reader->IsA("vtktvxreader")) << "names compare byte for byte";
    EXPECT_FALSE(vtkTVXReader::IsTypeOf("vtkSTLReader"));
    EXPECT_EQ(reader->GetNumberOfInputPorts(), 0);
    EXPECT_EQ(reader->GetNumberOfOutputPorts(), 1);
    EXPECT_EQ(reader->GetFileName(), nullptr);
    EXPECT_EQ(reader->GetMerging(), 1);
    EXPECT_EQ(reader->GetLocator(), nullptr);
    auto other = vtkSmartPointer<vtkTVXReader>::Take(reader->NewInstance());
    EXPECT_STREQ(other->GetClassName(), "vtkTVXReader");

    auto factory = vtkSmartPointer<ReaderFactory>::New();
    vtkObjectFactory::RegisterFactory(factory);
    auto made = vtkSmartPointer<vtkTVXReader>::Take(vtkTVXReader::New());
    vtkObjectFactory::UnRegisterFactory(factory);
    EXPECT_STREQ(made->GetClassName(), "FactoryReader") << "New asks the object factory first";
}

TEST(ReaderObject, PrintsItsThreeProperties) {
    TempDir dir;
    WriteFile(dir / "a.tvx", BinaryFacets(kTwoSharingAnEdge));
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    EXPECT_NE(Printed(reader).find("File Name: (none)\n"), std::string::npos);
    reader->SetFileName("a.tvx");
    std::string printed = Printed(reader);
    EXPECT_NE(printed.find("File Name: a.tvx\nMerging: On\nLocator: (none)\n"), std::string::npos) << printed;
    EXPECT_LT(printed.find("AbortExecute: "), printed.find("File Name: ")) << "the base class prints first";

    reader->SetFileName((dir / "a.tvx").c_str());
    reader->Update();
    ASSERT_NE(reader->GetLocator(), nullptr);
    EXPECT_TRUE(reader->GetLocator()->IsA("vtkMergePoints"));
    std::ostringstream address;
    address << static_cast<void*>(reader->GetLocator());
    EXPECT_NE(Printed(reader).find("Merging: On\nLocator: " + address.str() + "\n"), std::string::npos);
    reader->MergingOff();
    EXPECT_NE(Printed(reader).find("Merging: Off\n"), std::string::npos);
    vtkIndent indent(4);
    std::ostringstream os;
    reader->PrintSelf(os, indent);
    EXPECT_NE(os.str().find("    Merging: Off\n"), std::string::npos) << "each line after the indent";
}

TEST(ReaderObject, OnlyRealChangesMarkTheReaderModified) {
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    vtkMTimeType t = reader->GetMTime();
    reader->SetFileName(nullptr);
    EXPECT_EQ(reader->GetMTime(), t);
    std::string name = "mesh.stl";
    reader->SetFileName(name.c_str());
    EXPECT_GT(reader->GetMTime(), t);
    EXPECT_NE(reader->GetFileName(), name.c_str()) << "the reader keeps its own copy";
    t = reader->GetMTime();
    std::string same = "mesh.stl"; // an equal string at another address
    reader->SetFileName(same.c_str());
    EXPECT_EQ(reader->GetMTime(), t);
    reader->SetMerging(1);
    reader->MergingOn();
    EXPECT_EQ(reader->GetMTime(), t);
    reader->MergingOff();
    EXPECT_GT(reader->GetMTime(), t);
    t = reader->GetMTime();
    reader->SetFileName(nullptr);
    EXPECT_GT(reader->GetMTime(), t);
    EXPECT_EQ(reader->GetFileName(), nullptr);
}

TEST(ReaderObject, LocatorIsCountedKeptAcrossRunsAndReferenced) {
    TempDir dir;
    WriteFile(dir / "a.tvx", BinaryFacets(kTwoSharingAnEdge));
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName((dir / "a.tvx").c_str());
    int runs = 0;
    auto counter = vtkSmartPointer<vtkCallbackCommand>::New();
    counter->SetClientData(&runs);
    counter->SetCallback([](vtkObject*, unsigned long, void* data, void*) { ++*static_cast<int*>(data); });
    reader->AddObserver(vtkCommand::StartEvent, counter);

    reader->Update();
    vtkIncrementalPointLocator* locator = reader->GetLocator();
    ASSERT_NE(locator, nullptr);
    EXPECT_EQ(locator->GetReferenceCount(), 1) << "the reader holds the one reference";
    EXPECT_EQ(static_cast<vtkPointLocator*>(locator)->GetPoints(), nullptr) << "emptied after the run";
    reader->Update();
    EXPECT_EQ(runs, 1) << "creating the locator inside the run does not make the next Update run again";
    locator->Modified();
    EXPECT_EQ(reader->GetMTime(), locator->GetMTime());
    reader->Update();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(reader->GetLocator(), locator) << "the default locator stays with the reader";

    auto own = vtkSmartPointer<vtkPointLocator>::New();
    vtkMTimeType t = reader->GetMTime();
    reader->SetLocator(own);
    EXPECT_GT(reader->GetMTime(), t);
    EXPECT_EQ(own->GetReferenceCount(), 2);
    t = reader->GetMTime();
    reader->SetLocator(own);
    EXPECT_EQ(reader->GetMTime(), t);
    reader->Update();
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPoints(), 4) << "any locator merges";
    reader->SetLocator(nullptr);
    EXPECT_EQ(own->GetReferenceCount(), 1);
    reader->CreateDefaultLocator();
    EXPECT_NE(reader->GetLocator(), nullptr);
    reader->SetLocator(own);
    reader = nullptr;
    EXPECT_EQ(own->GetReferenceCount(), 1) << "the destructor gives the locator back";
}

TEST(ReaderObject, PropertyMacrosAndRunsWriteTheirDebugText) {
    TempDir dir;
    WriteFile(dir / "a.tvx", BinaryFacets(kTwoSharingAnEdge, 0));
    ScopedCapture capture;
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName((dir / "a.tvx").c_str());
    EXPECT_EQ(capture->Debug, "") << "nothing without the Debug flag";
    reader->DebugOn();
    reader->SetMerging(0);
    reader->SetMerging(1);
    reader->GetLocator();
    auto locator = vtkSmartPointer<vtkPointLocator>::New();
    reader->SetLocator(locator);
    reader->SetLocator(nullptr);
    reader->CreateDefaultLocator();
    reader->SetFileName(nullptr);
    reader->GetFileName();
    EXPECT_NE(capture->Debug.find("setting Merging to 0"), std::string::npos) << capture->Debug;
    EXPECT_NE(capture->Debug.find("returning Locator address "), std::string::npos) << capture->Debug;
    EXPECT_NE(capture->Debug.find("setting FileName to (null)"), std::string::npos) << capture->Debug;
    EXPECT_NE(capture->Debug.find("returning FileName of (null)"), std::string::npos) << capture->Debug;
    EXPECT_EQ(capture->Debug.find("setting Locator"), std::string::npos)
        << "the locator's setter writes none";

    capture->Debug.clear();
    reader->SetFileName((dir / "a.tvx").c_str());
    reader->Update();
    const std::string& d = capture->Debug;
    EXPECT_NE(d.find("vtkTVXReader ("), std::string::npos) << "VTK's frame: class name and address";
    size_t reading = d.find(" Reading BINARY TVX file");
    size_t count = d.find("Bad binary count: attempting to correct (0)");
    size_t read = d.find("Read: 6 points, 2 triangles");
    size_t merged = d.find("Merged to: 4 points, 2 triangles");
    EXPECT_TRUE(reading < count && count < read && read < merged) << d;

    capture->Debug.clear();
    vtkObject::GlobalWarningDisplayOff();
    reader->Modified();
    reader->Update();
    vtkObject::GlobalWarningDisplayOn();
    EXPECT_EQ(capture->Debug, "") << "nothing while the global warning display is off";
}

TEST(ReaderObject, UnreadableNamesAreReportedAndGiveAnEmptyOutput) {
    TempDir dir;
    WriteFile(dir / "a.tvx", BinaryFacets(kTwoSharingAnEdge));
    ScopedCapture capture;
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->Update();
    EXPECT_NE(capture->Errors.find("A FileName must be specified."), std::string::npos) << capture->Errors;
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPoints(), 0);

    reader->SetFileName((dir / "a.tvx").c_str());
    reader->Update();
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPoints(), 4);

    // An error goes to the reader's observers when it has any; a failed run clears the last output.
    std::string seen;
    auto observer = vtkSmartPointer<vtkCallbackCommand>::New();
    observer->SetClientData(&seen);
    observer->SetCallback([](vtkObject*, unsigned long, void* data, void* text) {
        *static_cast<std::string*>(data) += static_cast<const char*>(text);
    });
    reader->AddObserver(vtkCommand::ErrorEvent, observer);
    std::string missing = dir / "missing.tvx";
    reader->SetFileName(missing.c_str());
    reader->Update();
    EXPECT_NE(seen.find("File " + missing + " not found"), std::string::npos) << seen;
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPoints(), 0);
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPolys(), 0);

    // A folder, a FIFO and a device are refused at once rather than read (a FIFO would block).
    std::string fifo = dir / "pipe.stl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (std::string path : {dir.path().string(), fifo, std::string("/dev/zero")}) {
        seen.clear();
        reader->SetFileName(path.c_str());
        reader->Update();
        EXPECT_NE(seen.find("File " + path + " not found"), std::string::npos) << path;
        EXPECT_EQ(reader->GetOutput()->GetNumberOfPoints(), 0) << path;
    }
    EXPECT_EQ(capture->Errors.find("returned failure"), std::string::npos) << "no error from the pipeline";
}

TEST(ReaderObject, NamesAreMatchedAsTheSystemBindsThem) {
    TempDir dir;
    WriteFile(dir / "Parts/Bracket.STL", BinaryFacets(kTwoSharingAnEdge));
    std::string lower = dir.path().string() + "/parts\\bracket.stl";
    EXPECT_EQ(meshtest::Read(lower).points.size(), 4u);
    // Bytes that are not UTF-8 reach the file unchanged.
    WriteFile(dir / "b\xE9.tvx", BinaryFacets(kTwoSharingAnEdge));
    EXPECT_EQ(meshtest::Read(dir / "b\xE9.tvx").points.size(), 4u);
}
