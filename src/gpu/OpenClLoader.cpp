#include "gpu/OpenClLoader.h"

#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>
#include <CL/cl_ext.h>

#include <cstdlib>

#include "platform/DynamicLibrary.h"

namespace zentrova {

namespace {

#ifdef _WIN32
constexpr const char* kNames[] = {"OpenCL.dll"};
#else
constexpr const char* kNames[] = {"libOpenCL.so.1", "libOpenCL.so"};
#endif

// ZENTROVA_OPENCL_LIBRARY names the loader to use instead of the system's
// (a driver's own, or none at all for a test of a machine without one).
const char* Override() {
  const char* name = std::getenv("ZENTROVA_OPENCL_LIBRARY");
  return name != nullptr && *name != '\0' ? name : nullptr;
}

platform::DynamicLibrary OpenLibrary() {
  if (const char* name = Override()) {
    const char* const one[] = {name};
    return platform::DynamicLibrary(one);
  }
  return platform::DynamicLibrary(kNames);
}

// The library's entry points, looked up once, on first use. A library that
// lacks one of them counts as absent: it is no OpenCL loader we can use.
struct Api {
  decltype(&::clGetPlatformIDs) clGetPlatformIDs = nullptr;
  decltype(&::clGetPlatformInfo) clGetPlatformInfo = nullptr;
  decltype(&::clGetDeviceIDs) clGetDeviceIDs = nullptr;
  decltype(&::clGetDeviceInfo) clGetDeviceInfo = nullptr;
  decltype(&::clRetainDevice) clRetainDevice = nullptr;
  decltype(&::clReleaseDevice) clReleaseDevice = nullptr;
  decltype(&::clCreateContext) clCreateContext = nullptr;
  decltype(&::clReleaseContext) clReleaseContext = nullptr;
  decltype(&::clCreateCommandQueue) clCreateCommandQueue = nullptr;
  decltype(&::clReleaseCommandQueue) clReleaseCommandQueue = nullptr;
  decltype(&::clCreateBuffer) clCreateBuffer = nullptr;
  decltype(&::clReleaseMemObject) clReleaseMemObject = nullptr;
  decltype(&::clCreateProgramWithSource) clCreateProgramWithSource = nullptr;
  decltype(&::clReleaseProgram) clReleaseProgram = nullptr;
  decltype(&::clBuildProgram) clBuildProgram = nullptr;
  decltype(&::clGetProgramInfo) clGetProgramInfo = nullptr;
  decltype(&::clGetProgramBuildInfo) clGetProgramBuildInfo = nullptr;
  decltype(&::clCreateKernel) clCreateKernel = nullptr;
  decltype(&::clReleaseKernel) clReleaseKernel = nullptr;
  decltype(&::clSetKernelArg) clSetKernelArg = nullptr;
  decltype(&::clFinish) clFinish = nullptr;
  decltype(&::clFlush) clFlush = nullptr;
  decltype(&::clEnqueueReadBuffer) clEnqueueReadBuffer = nullptr;
  decltype(&::clEnqueueNDRangeKernel) clEnqueueNDRangeKernel = nullptr;
  bool found = false;
};

const Api& TheApi() {
  static const Api api = [] {
    // Never unloaded: a driver's own threads (PoCL's, for one) may still run
    // while the process exits, and would find their code gone.
    static const platform::DynamicLibrary* const library =
        new platform::DynamicLibrary(OpenLibrary());
    Api a;
    if (!library->IsOpen()) return a;
    bool all = true;
    a.clGetPlatformIDs = reinterpret_cast<decltype(&::clGetPlatformIDs)>(library->Symbol("clGetPlatformIDs"));
    all = all && a.clGetPlatformIDs != nullptr;
    a.clGetPlatformInfo = reinterpret_cast<decltype(&::clGetPlatformInfo)>(library->Symbol("clGetPlatformInfo"));
    all = all && a.clGetPlatformInfo != nullptr;
    a.clGetDeviceIDs = reinterpret_cast<decltype(&::clGetDeviceIDs)>(library->Symbol("clGetDeviceIDs"));
    all = all && a.clGetDeviceIDs != nullptr;
    a.clGetDeviceInfo = reinterpret_cast<decltype(&::clGetDeviceInfo)>(library->Symbol("clGetDeviceInfo"));
    all = all && a.clGetDeviceInfo != nullptr;
    a.clRetainDevice = reinterpret_cast<decltype(&::clRetainDevice)>(library->Symbol("clRetainDevice"));
    all = all && a.clRetainDevice != nullptr;
    a.clReleaseDevice = reinterpret_cast<decltype(&::clReleaseDevice)>(library->Symbol("clReleaseDevice"));
    all = all && a.clReleaseDevice != nullptr;
    a.clCreateContext = reinterpret_cast<decltype(&::clCreateContext)>(library->Symbol("clCreateContext"));
    all = all && a.clCreateContext != nullptr;
    a.clReleaseContext = reinterpret_cast<decltype(&::clReleaseContext)>(library->Symbol("clReleaseContext"));
    all = all && a.clReleaseContext != nullptr;
    a.clCreateCommandQueue = reinterpret_cast<decltype(&::clCreateCommandQueue)>(library->Symbol("clCreateCommandQueue"));
    all = all && a.clCreateCommandQueue != nullptr;
    a.clReleaseCommandQueue = reinterpret_cast<decltype(&::clReleaseCommandQueue)>(library->Symbol("clReleaseCommandQueue"));
    all = all && a.clReleaseCommandQueue != nullptr;
    a.clCreateBuffer = reinterpret_cast<decltype(&::clCreateBuffer)>(library->Symbol("clCreateBuffer"));
    all = all && a.clCreateBuffer != nullptr;
    a.clReleaseMemObject = reinterpret_cast<decltype(&::clReleaseMemObject)>(library->Symbol("clReleaseMemObject"));
    all = all && a.clReleaseMemObject != nullptr;
    a.clCreateProgramWithSource = reinterpret_cast<decltype(&::clCreateProgramWithSource)>(library->Symbol("clCreateProgramWithSource"));
    all = all && a.clCreateProgramWithSource != nullptr;
    a.clReleaseProgram = reinterpret_cast<decltype(&::clReleaseProgram)>(library->Symbol("clReleaseProgram"));
    all = all && a.clReleaseProgram != nullptr;
    a.clBuildProgram = reinterpret_cast<decltype(&::clBuildProgram)>(library->Symbol("clBuildProgram"));
    all = all && a.clBuildProgram != nullptr;
    a.clGetProgramInfo = reinterpret_cast<decltype(&::clGetProgramInfo)>(library->Symbol("clGetProgramInfo"));
    all = all && a.clGetProgramInfo != nullptr;
    a.clGetProgramBuildInfo = reinterpret_cast<decltype(&::clGetProgramBuildInfo)>(library->Symbol("clGetProgramBuildInfo"));
    all = all && a.clGetProgramBuildInfo != nullptr;
    a.clCreateKernel = reinterpret_cast<decltype(&::clCreateKernel)>(library->Symbol("clCreateKernel"));
    all = all && a.clCreateKernel != nullptr;
    a.clReleaseKernel = reinterpret_cast<decltype(&::clReleaseKernel)>(library->Symbol("clReleaseKernel"));
    all = all && a.clReleaseKernel != nullptr;
    a.clSetKernelArg = reinterpret_cast<decltype(&::clSetKernelArg)>(library->Symbol("clSetKernelArg"));
    all = all && a.clSetKernelArg != nullptr;
    a.clFinish = reinterpret_cast<decltype(&::clFinish)>(library->Symbol("clFinish"));
    all = all && a.clFinish != nullptr;
    a.clFlush = reinterpret_cast<decltype(&::clFlush)>(library->Symbol("clFlush"));
    all = all && a.clFlush != nullptr;
    a.clEnqueueReadBuffer = reinterpret_cast<decltype(&::clEnqueueReadBuffer)>(library->Symbol("clEnqueueReadBuffer"));
    all = all && a.clEnqueueReadBuffer != nullptr;
    a.clEnqueueNDRangeKernel = reinterpret_cast<decltype(&::clEnqueueNDRangeKernel)>(library->Symbol("clEnqueueNDRangeKernel"));
    all = all && a.clEnqueueNDRangeKernel != nullptr;
    if (!all) return Api{};
    a.found = true;
    return a;
  }();
  return api;
}

// What an entry point answers without a library: no platform, or an invalid
// object (nothing can have been created without one).
template <typename T>
T Missing(cl_int* errcode) {
  if (errcode != nullptr) *errcode = CL_INVALID_PLATFORM;
  return T{};
}

}  // namespace

bool OpenClLibraryFound() { return TheApi().found; }

std::string OpenClLibraryNames() {
  if (const char* name = Override()) return name;
  std::string names;
  for (const char* name : kNames) names += (names.empty() ? "" : " or ") + std::string(name);
  return names;
}

}  // namespace zentrova

using zentrova::TheApi;

extern "C" {

CL_API_ENTRY cl_int CL_API_CALL clGetPlatformIDs(cl_uint num_entries, cl_platform_id* platforms, cl_uint* num_platforms) {
  if (TheApi().clGetPlatformIDs == nullptr) {
    if (num_platforms != nullptr) *num_platforms = 0;
    return CL_PLATFORM_NOT_FOUND_KHR;
  }
  return TheApi().clGetPlatformIDs(num_entries, platforms, num_platforms);
}

CL_API_ENTRY cl_int CL_API_CALL clGetPlatformInfo(cl_platform_id platform, cl_platform_info param_name, size_t param_value_size, void* param_value, size_t* param_value_size_ret) {
  if (TheApi().clGetPlatformInfo == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clGetPlatformInfo(platform, param_name, param_value_size, param_value, param_value_size_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clGetDeviceIDs(cl_platform_id platform, cl_device_type device_type, cl_uint num_entries, cl_device_id* devices, cl_uint* num_devices) {
  if (TheApi().clGetDeviceIDs == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clGetDeviceIDs(platform, device_type, num_entries, devices, num_devices);
}

CL_API_ENTRY cl_int CL_API_CALL clGetDeviceInfo(cl_device_id device, cl_device_info param_name, size_t param_value_size, void* param_value, size_t* param_value_size_ret) {
  if (TheApi().clGetDeviceInfo == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clGetDeviceInfo(device, param_name, param_value_size, param_value, param_value_size_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clRetainDevice(cl_device_id device) {
  if (TheApi().clRetainDevice == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clRetainDevice(device);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseDevice(cl_device_id device) {
  if (TheApi().clReleaseDevice == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clReleaseDevice(device);
}

CL_API_ENTRY cl_context CL_API_CALL clCreateContext(const cl_context_properties* properties, cl_uint num_devices, const cl_device_id* devices, void (CL_CALLBACK* pfn_notify)(const char*, const void*, size_t, void*), void* user_data, cl_int* errcode_ret) {
  if (TheApi().clCreateContext == nullptr) return zentrova::Missing<cl_context>(errcode_ret);
  return TheApi().clCreateContext(properties, num_devices, devices, pfn_notify, user_data, errcode_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseContext(cl_context context) {
  if (TheApi().clReleaseContext == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clReleaseContext(context);
}

CL_API_ENTRY cl_command_queue CL_API_CALL clCreateCommandQueue(cl_context context, cl_device_id device, cl_command_queue_properties properties, cl_int* errcode_ret) {
  if (TheApi().clCreateCommandQueue == nullptr) return zentrova::Missing<cl_command_queue>(errcode_ret);
  return TheApi().clCreateCommandQueue(context, device, properties, errcode_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseCommandQueue(cl_command_queue command_queue) {
  if (TheApi().clReleaseCommandQueue == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clReleaseCommandQueue(command_queue);
}

CL_API_ENTRY cl_mem CL_API_CALL clCreateBuffer(cl_context context, cl_mem_flags flags, size_t size, void* host_ptr, cl_int* errcode_ret) {
  if (TheApi().clCreateBuffer == nullptr) return zentrova::Missing<cl_mem>(errcode_ret);
  return TheApi().clCreateBuffer(context, flags, size, host_ptr, errcode_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseMemObject(cl_mem memobj) {
  if (TheApi().clReleaseMemObject == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clReleaseMemObject(memobj);
}

CL_API_ENTRY cl_program CL_API_CALL clCreateProgramWithSource(cl_context context, cl_uint count, const char** strings, const size_t* lengths, cl_int* errcode_ret) {
  if (TheApi().clCreateProgramWithSource == nullptr) return zentrova::Missing<cl_program>(errcode_ret);
  return TheApi().clCreateProgramWithSource(context, count, strings, lengths, errcode_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseProgram(cl_program program) {
  if (TheApi().clReleaseProgram == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clReleaseProgram(program);
}

CL_API_ENTRY cl_int CL_API_CALL clBuildProgram(cl_program program, cl_uint num_devices, const cl_device_id* device_list, const char* options, void (CL_CALLBACK* pfn_notify)(cl_program, void*), void* user_data) {
  if (TheApi().clBuildProgram == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clBuildProgram(program, num_devices, device_list, options, pfn_notify, user_data);
}

CL_API_ENTRY cl_int CL_API_CALL clGetProgramInfo(cl_program program, cl_program_info param_name, size_t param_value_size, void* param_value, size_t* param_value_size_ret) {
  if (TheApi().clGetProgramInfo == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clGetProgramInfo(program, param_name, param_value_size, param_value, param_value_size_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clGetProgramBuildInfo(cl_program program, cl_device_id device, cl_program_build_info param_name, size_t param_value_size, void* param_value, size_t* param_value_size_ret) {
  if (TheApi().clGetProgramBuildInfo == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clGetProgramBuildInfo(program, device, param_name, param_value_size, param_value, param_value_size_ret);
}

CL_API_ENTRY cl_kernel CL_API_CALL clCreateKernel(cl_program program, const char* kernel_name, cl_int* errcode_ret) {
  if (TheApi().clCreateKernel == nullptr) return zentrova::Missing<cl_kernel>(errcode_ret);
  return TheApi().clCreateKernel(program, kernel_name, errcode_ret);
}

CL_API_ENTRY cl_int CL_API_CALL clReleaseKernel(cl_kernel kernel) {
  if (TheApi().clReleaseKernel == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clReleaseKernel(kernel);
}

CL_API_ENTRY cl_int CL_API_CALL clSetKernelArg(cl_kernel kernel, cl_uint arg_index, size_t arg_size, const void* arg_value) {
  if (TheApi().clSetKernelArg == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clSetKernelArg(kernel, arg_index, arg_size, arg_value);
}

CL_API_ENTRY cl_int CL_API_CALL clFinish(cl_command_queue command_queue) {
  if (TheApi().clFinish == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clFinish(command_queue);
}

CL_API_ENTRY cl_int CL_API_CALL clFlush(cl_command_queue command_queue) {
  if (TheApi().clFlush == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clFlush(command_queue);
}

CL_API_ENTRY cl_int CL_API_CALL clEnqueueReadBuffer(cl_command_queue command_queue, cl_mem buffer, cl_bool blocking_read, size_t offset, size_t size, void* ptr, cl_uint num_events_in_wait_list, const cl_event* event_wait_list, cl_event* event) {
  if (TheApi().clEnqueueReadBuffer == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clEnqueueReadBuffer(command_queue, buffer, blocking_read, offset, size, ptr, num_events_in_wait_list, event_wait_list, event);
}

CL_API_ENTRY cl_int CL_API_CALL clEnqueueNDRangeKernel(cl_command_queue command_queue, cl_kernel kernel, cl_uint work_dim, const size_t* global_work_offset, const size_t* global_work_size, const size_t* local_work_size, cl_uint num_events_in_wait_list, const cl_event* event_wait_list, cl_event* event) {
  if (TheApi().clEnqueueNDRangeKernel == nullptr) return CL_INVALID_PLATFORM;
  return TheApi().clEnqueueNDRangeKernel(command_queue, kernel, work_dim, global_work_offset, global_work_size, local_work_size, num_events_in_wait_list, event_wait_list, event);
}

}  // extern "C"
